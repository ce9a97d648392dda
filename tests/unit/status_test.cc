// status_test.cc - the status lines, network admission, the session list of a
// group that has nobody to ask, and the server choice where it needs no peer.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <string.h>

#include <string>

#include "placement/placement.h"
#include "testutil.h"

namespace {

constexpr time_t kNow = 1000000;
time_t fakeNow() { return kNow; }

int32_t fixedDraw;
int32_t fixedRandom(int32_t) { return fixedDraw; }

class Status : public ::testing::Test {
 protected:
  void SetUp() override {
    resetGroupState();
    params.gmport = 7009;
    saved_ = gmSys;
    gmSys.now = fakeNow;
    const char *mask = "255.255.255.0";
    interface mine[] = {makeIf("eth0", "198.51.100.10", mask, LAN, kNow - 5),
                        makeIf("nimbar0", "203.0.113.10", mask, 0, 0),
                        makeIf("eth1", "203.0.0.10", "255.255.0.0", LAN, kNow)};
    host *m = makeHost("here", "198.51.100.10", TRUSTED | LAN_OK, mine, 3);
    myhost = *m;
    free(m);
    myhost.starttime = 1;  // long running: no start-up wait
    myhost.lastseen = kNow - 3;
    myhost.sessions = 5;
    myhost.idles = 2;
    myhost.load = 1.5f;
    hostList[0] = &myhost;
    interface p[] = {makeIf("eth0", "198.51.100.11", mask, LAN, kNow)};
    peer_ = makeHost("peer", "198.51.100.11", TRUSTED | LAN_OK, p, 1);
    peer_->lastseen = kNow - 7;
    hostList[1] = peer_;
    interface s[] = {makeIf("eth0", "198.51.100.12", mask, LAN, kNow)};
    shady_ = makeHost("shady", "198.51.100.12", LAN_OK, s, 1);
    shady_->lastseen = kNow - 9;
    hostList[2] = shady_;
    numhosts = 3;
  }
  void TearDown() override {
    gmSys = saved_;
    gmRandom = getRandom;
    resetGroupState();
  }
  std::string choose(const char *ctoken, const char *force, int *rc = nullptr) {
    char buf[27];
    memset(buf, 'X', sizeof buf);
    int r = whichServer(ctoken, "", "198.51.100.77", force, buf);
    if (rc != nullptr) *rc = r;
    return buf;
  }
  gm_sys saved_;
  host *peer_ = nullptr;
  host *shady_ = nullptr;
};

TEST_F(Status, HostInterfaceAndLoadLines) {
  char buf[512];
  myhost.flags = ROUTER | LAN_OK | TRUSTED | OFFLINE;
  groupHostLine(0, buf);
  EXPECT_STREQ(buf, "host here lastseen 3 timeoff 0 addr c633640a numifs 3 period 20 "
                    "starttime 1 ROUTER LAN_OK TRUSTED OFFLINE\n");
  peer_->flags = 0;
  peer_->hostAddr.s_addr = ip("10.1.2.3");
  peer_->timeoff = -4;
  groupHostLine(1, buf);
  EXPECT_STREQ(buf, "host peer lastseen 7 timeoff -4 addr a010203 numifs 1 period 20 "
                    "starttime 0\n");

  groupIntfLine(0, 0, buf);
  EXPECT_STREQ(buf, "interface eth0 ip c633640a mask ffffff00 bcast c63364ff lastpkt 5 LAN\n");
  groupIntfLine(0, 1, buf);
  EXPECT_STREQ(buf, "interface nimbar0 ip cb00710a mask ffffff00 bcast cb0071ff lastpkt -1\n");

  groupLoadLine(0, buf);
  EXPECT_STREQ(buf, "sessions 5 idles 2 load 1.5\n");
  groupLoadLine(1, buf);
  EXPECT_STREQ(buf, "sessions -1 idles -1 load -1.0\n");

  EXPECT_EQ(groupNumHosts(), 3);
  EXPECT_EQ(groupNumIfs(0), 3);
  EXPECT_EQ(groupNumIfs(3), 0);
  EXPECT_EQ(groupNumIfs(-1), 0);
  for (int bad : {3, -1}) {
    groupHostLine(bad, buf);
    EXPECT_STREQ(buf, "Hostnum out of range\n");
    groupLoadLine(bad, buf);
    EXPECT_STREQ(buf, "Hostnum out of range\n");
    groupIntfLine(bad, 0, buf);
    EXPECT_STREQ(buf, "Arguments out of range\n");
  }
  groupIntfLine(1, 1, buf);
  EXPECT_STREQ(buf, "Arguments out of range\n");
  groupIntfLine(1, -1, buf);
  EXPECT_STREQ(buf, "Arguments out of range\n");
}

TEST_F(Status, NetworkAdmission) {
  // Host byte order in, as the daemon passes it.
  EXPECT_EQ(isNetworkAllowed(ntohl(ip("203.0.113.99"))), 1);  // nimbar subnet
  EXPECT_EQ(isNetworkAllowed(ntohl(ip("198.51.100.99"))), 0); // LAN subnet
  EXPECT_EQ(isNetworkAllowed(ntohl(ip("203.0.5.5"))), 0);     // only eth1, LAN
  EXPECT_EQ(isNetworkAllowed(ntohl(ip("192.0.2.1"))), 0);     // nowhere
  // 203.0.113.99 lies on nimbar0 and on eth1: the first in table order decides.
  std::swap(myhost.hostifs[1], myhost.hostifs[2]);
  EXPECT_EQ(isNetworkAllowed(ntohl(ip("203.0.113.99"))), 0);
}

TEST_F(Status, SessionListWithNobodyToAsk) {
  for (int i = 0; i < numhosts; i++) hostList[i]->flags &= ~TRUSTED;
  char *list = sessionList("ct", "it", "198.51.100.77");
  ASSERT_NE(list, nullptr);
  EXPECT_STREQ(list, "");
  free(list);
}

TEST_F(Status, ServerChoiceWithoutQueries) {
  // No force, no token: the least-loaded member answers, trusted.
  params.use_lb = 1;
  gmRandom = fixedRandom;
  fixedDraw = 1999;  // myhost and peer weigh 1999 each: the peer wins
  EXPECT_EQ(choose("", ""), "c633640b:true:7");
  fixedDraw = 0;  // this server wins: the session stays here
  EXPECT_EQ(choose("", ""), "");
  params.use_lb = 0;
  EXPECT_EQ(choose("", ""), "");

  // Forced by address that no member owns.
  EXPECT_EQ(choose("", "192.0.2.55"), "c0000237:false:0");
  EXPECT_EQ(choose("", "10.0.0.1"), "a000001:false:0");
  // Forced by member name: trust follows the member.
  params.debug = 1;
  {
    LogCapture log;
    EXPECT_EQ(choose("", "peer"), "c633640b:true:7");
    EXPECT_NE(log.text().find("target 198.51.100.11 addr 198.51.100.10 (c633640b:true:7)\n"),
              std::string::npos);
  }
  params.debug = 0;
  EXPECT_EQ(choose("", "shady"), "c633640c:false:9");
  // Forced to this server: answered in full, by name or by address.
  EXPECT_EQ(choose("", "here"), "c633640a:true:3");
  EXPECT_EQ(choose("", "203.0.113.10"), "c633640a:true:3");
  // A member with no live interface on the client's subnet and no LAN_OK.
  peer_->flags &= ~LAN_OK;
  peer_->hostifs[0].lastpkt = kNow - 61;
  EXPECT_EQ(choose("", "peer"), "");
  // Forced to a name that only the hosts file knows: no member owns it.
  EXPECT_EQ(choose("", "localhost"), "7f000001:false:0");

  // The longest answer fits the 27 bytes.
  shady_->lastseen = kNow + 2147483648LL;
  EXPECT_EQ(choose("", "shady"), "c633640c:false:-2147483648");

  // A ctoken of 65 characters is refused before anyone is asked.
  std::string longTok(65, 'c');
  LogCapture log;
  int rc = 0;
  EXPECT_EQ(choose(longTok.c_str(), "", &rc), "");
  EXPECT_EQ(rc, -1);
  EXPECT_NE(log.text().find("whichServer: c/itoken too long " + longTok.substr(0, 64) +
                            "/\n"),
            std::string::npos);
}

}  // namespace
