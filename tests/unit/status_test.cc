// status_test.cc - the status lines, network admission, the session list of a
// group that has nobody to ask, and the server choice where it needs no peer.
#include <gtest/gtest.h>

#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>

#include <string>
#include <tuple>

#include "placement/placement.h"
#include "testutil.h"

namespace {

constexpr time_t kNow = 1000000;
int32_t fixedDraw;

class Status : public GroupTest {
 protected:
  void SetUp() override {
    gmSys.now = [] { return kNow; };
    const char *m24 = "255.255.255.0";
    addHost("here", "198.51.100.10", TRUSTED | LAN_OK,
            {makeIf("eth0", "198.51.100.10", m24, LAN, kNow - 5), makeIf("nimbar0", "203.0.113.10", m24, 0, 0),
             makeIf("eth1", "203.0.0.10", "255.255.0.0", LAN, kNow)});
    // Long running: no start-up wait.
    myhost.starttime = 1, myhost.lastseen = kNow - 3, myhost.sessions = 5, myhost.idles = 2, myhost.load = 1.5f;
    addHost("peer", "198.51.100.11", TRUSTED | LAN_OK, {makeIf("eth0", "198.51.100.11", m24, LAN, kNow)})
        ->lastseen = kNow - 7;
    addHost("shady", "198.51.100.12", LAN_OK, {makeIf("eth0", "198.51.100.12", m24, LAN, kNow)})->lastseen = kNow - 9;
  }
  enum Kind { HOST, LOAD, INTF };
  static std::string line(Kind k, int h, int i = 0) {
    char buf[512];
    return k == HOST ? groupHostLine(h, buf) : k == LOAD ? groupLoadLine(h, buf) : groupIntfLine(h, i, buf), buf;
  }
  int rc = 0;
  std::string choose(const char *ctoken, const char *force) {
    char buf[27];
    memset(buf, 'X', sizeof buf);
    rc = whichServer(ctoken, "", "198.51.100.77", force, buf);
    return buf;
  }
};

TEST_F(Status, HostInterfaceAndLoadLines) {
  myhost.flags = ROUTER | LAN_OK | TRUSTED | OFFLINE, hostList[1]->flags = 0, hostList[1]->hostAddr.s_addr = ip("10.1.2.3"), hostList[1]->timeoff = -4;
  EXPECT_EQ(line(HOST, 0) + line(HOST, 1),
            "host here lastseen 3 timeoff 0 addr c633640a numifs 3 period 20 starttime 1 "
            "ROUTER LAN_OK TRUSTED OFFLINE\n"
            "host peer lastseen 7 timeoff -4 addr a010203 numifs 1 period 20 starttime 0\n");
  EXPECT_EQ(line(INTF, 0, 0) + line(INTF, 0, 1),
            "interface eth0 ip c633640a mask ffffff00 bcast c63364ff lastpkt 5 LAN\n"
            "interface nimbar0 ip cb00710a mask ffffff00 bcast cb0071ff lastpkt -1\n");
  EXPECT_EQ(line(LOAD, 0) + line(LOAD, 1),
            "sessions 5 idles 2 load 1.5\nsessions -1 idles -1 load -1.0\n");
  EXPECT_EQ(groupNumHosts() * 100 + groupNumIfs(0) * 10 + groupNumIfs(3) + groupNumIfs(-1), 330);
  for (int bad : {3, -1})
    EXPECT_EQ(line(HOST, bad) + line(LOAD, bad) + line(INTF, bad) + line(INTF, 1, bad % 2),
              "Hostnum out of range\nHostnum out of range\n"
              "Arguments out of range\nArguments out of range\n");
}

TEST_F(Status, NetworkAdmissionAndNobodyToAsk) {
  // Host byte order in, as the daemon passes it: only a nimbar subnet.
  // 203.0.113.99 lies on nimbar0 and on eth1: the first in table order decides.
  std::string seen;
  for (const char *a : {"203.0.113.99", "198.51.100.99", "203.0.5.5", "192.0.2.1", "", "203.0.113.99"})
    seen += *a ? std::to_string(isNetworkAllowed(ntohl(ip(a)))) : (std::swap(myhost.hostifs[1], myhost.hostifs[2]), "/");
  EXPECT_EQ(seen, "1000/0");

  for (int i = 0; i < numhosts; i++) hostList[i]->flags &= ~TRUSTED;
  char *list = sessionList("ct", "it", "198.51.100.77");
  EXPECT_STREQ(list, "");
  free(list);
}

TEST_F(Status, ServerChoiceWithoutQueries) {
  // No force, no token: the least-loaded member answers, trusted; here and
  // peer weigh 1999 each. When this server wins, the session stays here.
  // Forced: by an address no member owns, by member name (trust follows the
  // member), to this server (answered in full), balancing or not.
  gmRandom = [](int32_t) { return fixedDraw; };
  LogCapture log(1);
  for (auto [lb, draw, force, want] :
       {std::tuple{1, 1999, "", "c633640b:true:7"}, {1, 0, "", ""}, {0, 1999, "", ""},
        {0, 0, "192.0.2.55", "c0000237:false:0"}, {0, 0, "10.0.0.1", "a000001:false:0"},
        {1, 0, "peer", "c633640b:true:7"}, {0, 0, "shady", "c633640c:false:9"},
        {0, 0, "here", "c633640a:true:3"}, {1, 1999, "203.0.113.10", "c633640a:true:3"}}) {
    params.use_lb = lb, fixedDraw = draw;
    EXPECT_EQ(choose("", force), want) << lb << draw << force;
  }
  EXPECT_TRUE(log.has("target 198.51.100.11 addr 198.51.100.10 (c633640b:true:7)\n"));
  // A member with no live interface on the client's subnet and no LAN_OK.
  hostList[1]->flags &= ~LAN_OK, hostList[1]->hostifs[0].lastpkt = kNow - 61;
  hostList[2]->lastseen = kNow + 2147483648LL;  // the longest answer fits the 27 bytes
  EXPECT_EQ(choose("", "peer") + "|" + choose("", "shady"), "|c633640c:false:-2147483648");

  for (int i = 0; i < numhosts; i++) hostList[i]->flags &= ~TRUSTED;  // should it ask: nobody
  std::string longTok(65, 'c');  // refused before anyone is asked
  EXPECT_TRUE(choose(longTok.c_str(), "").empty() && rc == -1 &&
              log.has("whichServer: c/itoken too long " + longTok.substr(0, 64) + "/\n"));
}


TEST_F(Status, ServerChoiceForcedToANameOnlyTheHostsFileKnows) {
  TempDir dir;
  std::string why = ownHostsFile(dir, "192.0.2.80 lookout\n198.51.100.11 peer-alias\n");
  if (!why.empty()) GTEST_SKIP() << why;
  // An address no member owns; a member's address under another name, so
  // the member's trust and age are answered.
  EXPECT_EQ(choose("", "lookout"), "c0000250:false:0");
  EXPECT_EQ(choose("", "peer-alias"), "c633640b:true:7");
}

}  // namespace
