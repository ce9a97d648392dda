// status_test.cc - the status lines, network admission, the session list of a
// group that has nobody to ask, and the server choice where it needs no peer;
// the least-loaded choice: exact weights, which members may take a session,
// the draw's boundaries and the spread of real draws.
#include <gtest/gtest.h>

#include <errno.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "placement/placement.h"
#include "testutil.h"

namespace {

constexpr time_t kNow = 1000000;
int32_t fixedDraw, lastMax;
int32_t fixedRandom(int32_t max) { return lastMax = max, fixedDraw; }

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
  gmRandom = fixedRandom;
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

class Choice : public GroupTest {
 protected:
  void SetUp() override {
    gmSys.now = [] { return kNow; }, gmRandom = fixedRandom;
    add("here", "198.51.100.10", TRUSTED | LAN_OK, {{1, LAN, kNow, 0}});
  }
  // Interfaces on 203.0.113.x (where 0: the client's subnet), on the host's
  // own address 198.51.100.x (1) or elsewhere (2), all with the host's last
  // address byte.
  struct If { int where, flags; time_t lastpkt; int timedout; };
  host *add(const char *name, std::string haddr, int flags, std::vector<If> plan) {
    static const char *const net[] = {"203.0.113", "198.51.100", "192.0.2"};
    std::vector<interface> ifs;
    for (const If &i : plan) {
      ifs.push_back(makeIf("e", (net[i.where] + haddr.substr(haddr.rfind('.'))).c_str(), "255.255.255.0", i.flags, i.lastpkt));
      ifs.back().tqTimedout = i.timedout;
    }
    return addHost(name, haddr.c_str(), flags, ifs);
  }
};

TEST_F(Choice, WeightsFollowTheSinglePrecisionLoadTerm) {
  struct { int cpus, clock; float load; int sessions, idles; int32_t desire; } cases[] = {
      {1, 200, -1.0f, -1, -1, 1999}, {2, 1000, 0.0f, 0, 0, 19999}, {2, 1000, 1.0f, 10, 4, 2000},
      {4, 2400, 0.5f, 3, 1, 19200}, {8, 3000, 2.5f, 40, 10, 7741},
      {2, 1000, 1.0f, 3, 4, 1818},  // sessions below idles: only the reported load counts
      // malformed capacities weigh nothing; huge ones are held down
      {-2, 1000, 0.0f, 0, 0, 0}, {2, -1000, 0.0f, 0, 0, 0},
      {65535, 65535, 0.0f, 0, 0, INT32_MAX / GM_HOSTSLOTS}};
  for (const auto &c : cases) {
    myhost.numcpus = c.cpus, myhost.meanclock = c.clock, myhost.load = c.load, myhost.sessions = c.sessions, myhost.idles = c.idles;
    leastLoadedHost(in_addr{0});
    EXPECT_EQ(myhost.desire, c.desire) << c.cpus << " " << c.clock << " " << c.load;
  }
}

TEST_F(Choice, EligibilityRules) {
  enum { C, H, O };  // see add()
  const int T = TRUSTED;
  const time_t now = kNow, edge = kNow - 60, stale = kNow - 61, ancient = 1;
  struct Case { const char *why; int flags; std::vector<If> ifs; int32_t desire; };
  std::vector<Case> cases = {
      {"offline", T | OFFLINE, {{C, 0, now, 0}}, 0}, {"untrusted", LAN_OK, {{C, 0, now, 0}}, 0},
      {"no cpus", T, {{C, 0, now, 0}}, 0}, {"nimbar 3 periods", T, {{C, 0, edge, 0}}, 1999},
      {"nimbar stale", T, {{C, 0, stale, 0}}, 0}, {"timed out", T, {{C, 0, now, 1}}, 0},
      {"LAN however old", T | LAN_OK, {{C, LAN, ancient, 0}}, 1999},
      {"LAN without LAN_OK", T, {{C, LAN, now, 0}}, 0},
      // Off the client's subnet the host-address interface stands in when any
      // interface is live, whatever its own age or time-out.
      {"fallback", T | LAN_OK, {{H, LAN, ancient, 1}, {O, 0, now, 0}}, 1999},
      {"fallback without LAN_OK", T, {{H, LAN, now, 0}}, 0},
      {"fallback, nothing live", T | LAN_OK, {{H, LAN, stale, 0}}, 0},
      {"fallback, no host address", T | LAN_OK, {{O, LAN, now, 0}}, 0},
  };
  std::vector<host *> h;
  for (size_t k = 0; k < cases.size(); k++)
    h.push_back(add(cases[k].why, "198.51.100." + std::to_string(20 + k), cases[k].flags,
                    cases[k].ifs));
  h[2]->numcpus = 0;
  h[4]->useifp = h[4]->hostifs;  // left from an earlier choice
  leastLoadedHost(in_addr{ip("203.0.113.77")});
  for (size_t k = 0; k < cases.size(); k++)  // the winner's interface with it
    EXPECT_TRUE(h[k]->desire == cases[k].desire && (cases[k].desire == 0 || h[k]->useifp == h[k]->hostifs))
        << cases[k].why << ": " << h[k]->desire;
  // h[2] eligible, but weightless; h[4]'s cleared when it drops out; here
  // weighs too: its LAN host address, with LAN_OK.
  EXPECT_TRUE(h[2]->useifp == &h[2]->hostifs[0] && h[4]->useifp == nullptr && lastMax == 4 * 1999);

  // Without a client address each host's first interface is its candidate.
  leastLoadedHost(in_addr{0});  // h[8]'s first interface timed out
  EXPECT_TRUE(h[11]->useifp == &h[11]->hostifs[0] && h[8]->desire == 0);
}

TEST_F(Choice, DrawBoundariesLogsAndSpread) {
  myhost.flags |= OFFLINE;
  add("a", "198.51.100.11", TRUSTED | LAN_OK, {{1, LAN, kNow, 0}});  // weighs 1999
  host *b = add("b", "198.51.100.12", TRUSTED | LAN_OK, {{1, LAN, kNow, 0}});
  b->numcpus = 6, b->meanclock = 1000, b->load = 1, b->sessions = 10, b->idles = 4;
  LogCapture log(1);
  uint32_t first = (fixedDraw = 1998, leastLoadedHost(in_addr{0}));
  fixedDraw = 1999;
  EXPECT_TRUE(first == ip("198.51.100.11") && leastLoadedHost(in_addr{0}) == ip("198.51.100.12") && lastMax == 7999);
  EXPECT_TRUE(log.has("Host b: 6 cpus, mean clock = 1000 MHz, sessions 10 idles 4 l = 1.0, desire = 6000\n") &&
              log.has("Winner is b (1999/7999)\n"));

  params.debug = 0, setLogDebugLevel(0), gmRandom = getRandom;
  std::map<uint32_t, int> wins;
  for (int i = 0; i < 20000; i++) wins[leastLoadedHost(in_addr{0})]++;
  EXPECT_EQ(wins.size(), 2u);  // always a or b, a a quarter of the time
  EXPECT_NEAR(wins[ip("198.51.100.11")] / 20000.0, 0.25, 0.25 * 0.05);
  for (int i = 0; i < 1000; i++) ASSERT_LT((uint32_t)getRandom(7), 7u);
}

}  // namespace
