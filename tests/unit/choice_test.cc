// choice_test.cc - the least-loaded choice: exact weights, which members may
// take a session, the draw's boundaries and the spread of real draws.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "placement/placement.h"
#include "testutil.h"

namespace {

constexpr time_t kNow = 1000000;
time_t fakeNow() { return kNow; }

int32_t fixedDraw;
int32_t lastMax;
int32_t fixedRandom(int32_t max) {
  lastMax = max;
  return fixedDraw;
}

class Choice : public ::testing::Test {
 protected:
  void SetUp() override {
    resetGroupState();
    params.gmport = 7009;
    saved_ = gmSys;
    gmSys.now = fakeNow;
    interface mine[] = {makeIf("eth0", "198.51.100.10", "255.255.255.0", LAN, kNow)};
    host *m = makeHost("here", "198.51.100.10", TRUSTED | LAN_OK, mine, 1);
    myhost = *m;
    free(m);
    hostList[0] = &myhost;
    numhosts = 1;
  }
  void TearDown() override {
    gmSys = saved_;
    gmRandom = getRandom;
    resetGroupState();
  }
  host *addPeer(const char *name, const char *addr, int flags,
                std::initializer_list<interface> ifs) {
    host *h = makeHost(name, addr, flags, ifs.begin(), (int)ifs.size());
    hostList[numhosts++] = h;
    return h;
  }
  static void setLoad(host *h, int cpus, int clock, float load, int sessions, int idles) {
    h->numcpus = cpus;
    h->meanclock = clock;
    h->load = load;
    h->sessions = sessions;
    h->idles = idles;
  }
  gm_sys saved_;
};

TEST_F(Choice, WeightsFollowTheSinglePrecisionLoadTerm) {
  struct {
    int cpus, clock;
    float load;
    int sessions, idles;
    int32_t desire;
  } cases[] = {{1, 200, -1.0f, -1, -1, 1999},
               {2, 1000, 0.0f, 0, 0, 19999},
               {2, 1000, 1.0f, 10, 4, 2000},
               {4, 2400, 0.5f, 3, 1, 19200},
               {8, 3000, 2.5f, 40, 10, 7741},
               // sessions below idles: only the reported load counts
               {2, 1000, 1.0f, 3, 4, 1818},
               // malformed capacities weigh nothing; huge ones are held down
               {-2, 1000, 0.0f, 0, 0, 0},
               {2, -1000, 0.0f, 0, 0, 0},
               {65535, 65535, 0.0f, 0, 0, INT32_MAX / GM_HOSTSLOTS}};
  for (const auto &c : cases) {
    setLoad(&myhost, c.cpus, c.clock, c.load, c.sessions, c.idles);
    leastLoadedHost(in_addr{0});
    EXPECT_EQ(myhost.desire, c.desire) << c.cpus << " " << c.clock << " " << c.load;
  }
}

TEST_F(Choice, EligibilityRules) {
  // One peer per rule; the client is on 203.0.113.0/24. Each interface lies on
  // the client's subnet (C), carries the host's address (H) or neither (O).
  enum { C, H, O };
  struct If { int where, flags; time_t lastpkt; int timedout; };
  struct Case { const char *why; int flags; std::vector<If> ifs; int32_t desire; };
  const int T = TRUSTED;
  const time_t now = kNow, edge = kNow - 60, stale = kNow - 61, ancient = 1;
  std::vector<Case> cases = {
      {"offline", T | OFFLINE, {{C, 0, now, 0}}, 0},
      {"untrusted", LAN_OK, {{C, 0, now, 0}}, 0},
      {"no cpus", T, {{C, 0, now, 0}}, 0},
      {"nimbar heard 3 periods ago", T, {{C, 0, edge, 0}}, 1999},
      {"nimbar stale", T, {{C, 0, stale, 0}}, 0},
      {"LAN however old", T | LAN_OK, {{C, LAN, ancient, 0}}, 1999},
      {"LAN without LAN_OK", T, {{C, LAN, now, 0}}, 0},
      {"timed out", T, {{C, 0, now, 1}}, 0},
      // Off the client's subnet the host-address interface stands in when any
      // interface is live, whatever its own age or time-out.
      {"fallback", T | LAN_OK, {{H, LAN, ancient, 1}, {O, 0, now, 0}}, 1999},
      {"fallback without LAN_OK", T, {{H, LAN, now, 0}}, 0},
      {"fallback, nothing live", T | LAN_OK, {{H, LAN, stale, 0}}, 0},
      {"fallback, no host address", T | LAN_OK, {{O, LAN, now, 0}}, 0},
  };
  std::vector<host *> hosts;
  for (size_t k = 0; k < cases.size(); k++) {
    std::string n = std::to_string(20 + k);
    std::vector<interface> ifs;
    for (const If &i : cases[k].ifs) {
      std::string a =
          (i.where == C ? "203.0.113." : i.where == H ? "198.51.100." : "192.0.2.") + n;
      ifs.push_back(makeIf("e", a.c_str(), "255.255.255.0", i.flags, i.lastpkt));
      ifs.back().tqTimedout = i.timedout;
    }
    std::string haddr = "198.51.100." + n;
    hosts.push_back(makeHost(cases[k].why, haddr.c_str(), cases[k].flags, ifs.data(),
                             (int)ifs.size()));
    hostList[numhosts++] = hosts.back();
  }
  hosts[2]->numcpus = 0;

  fixedDraw = 0;
  gmRandom = fixedRandom;
  leastLoadedHost(in_addr{ip("203.0.113.77")});
  for (size_t k = 0; k < cases.size(); k++) {
    EXPECT_EQ(hosts[k]->desire, cases[k].desire) << cases[k].why;
    if (cases[k].desire > 0) {
      EXPECT_EQ(hosts[k]->useifp, &hosts[k]->hostifs[0]) << cases[k].why;
    }
  }
  EXPECT_EQ(hosts[2]->useifp, &hosts[2]->hostifs[0]);  // eligible, but weightless
  EXPECT_EQ(hosts[4]->useifp, nullptr);                // cleared when it drops out
  EXPECT_EQ(myhost.desire, 1999);  // through its LAN host address, with LAN_OK
  EXPECT_EQ(lastMax, 4 * 1999);

  // Without a client address each host's first interface is its candidate.
  leastLoadedHost(in_addr{0});
  EXPECT_EQ(hosts[11]->desire, 1999);
  EXPECT_EQ(hosts[11]->useifp, &hosts[11]->hostifs[0]);
  EXPECT_EQ(hosts[8]->desire, 0);  // its first interface timed out
}

TEST_F(Choice, DrawBoundariesAndLogs) {
  host *a = addPeer("a", "198.51.100.11", TRUSTED | LAN_OK,
                    {makeIf("e", "198.51.100.11", "255.255.255.0", LAN, kNow)});
  host *b = addPeer("b", "198.51.100.12", TRUSTED | LAN_OK,
                    {makeIf("e", "198.51.100.12", "255.255.255.0", LAN, kNow)});
  setLoad(b, 2, 1000, 1.0f, 10, 4);
  myhost.flags |= OFFLINE;
  params.debug = 1;
  gmRandom = fixedRandom;

  LogCapture log;
  fixedDraw = 1998;
  EXPECT_EQ(leastLoadedHost(in_addr{0}), ip("198.51.100.11"));
  EXPECT_EQ(lastMax, 3999);
  fixedDraw = 1999;
  EXPECT_EQ(leastLoadedHost(in_addr{0}), ip("198.51.100.12"));
  std::string text = log.text();
  EXPECT_NE(text.find("LeastLoadedHost called...\n"), std::string::npos);
  EXPECT_NE(text.find("Host b: 2 cpus, mean clock = 1000 MHz, sessions 10 idles 4 "
                      "l = 1.0, desire = 2000\n"),
            std::string::npos);
  EXPECT_NE(text.find("Winner is a (1998/3999)\n"), std::string::npos);
  EXPECT_NE(text.find("Winner is b (1999/3999)\n"), std::string::npos);

  // Nobody eligible: no draw, no winner.
  a->flags |= OFFLINE;
  b->flags |= OFFLINE;
  LogCapture quiet;
  lastMax = -1;
  EXPECT_EQ(leastLoadedHost(in_addr{0}), 0u);
  EXPECT_EQ(lastMax, -1);
  EXPECT_EQ(quiet.text().find("Winner"), std::string::npos);
}

TEST_F(Choice, RealDrawsSpreadByWeight) {
  myhost.flags |= OFFLINE;
  host *light = addPeer("light", "198.51.100.11", TRUSTED | LAN_OK,
                        {makeIf("e", "198.51.100.11", "255.255.255.0", LAN, kNow)});
  host *heavy = addPeer("heavy", "198.51.100.12", TRUSTED | LAN_OK,
                        {makeIf("e", "198.51.100.12", "255.255.255.0", LAN, kNow)});
  setLoad(light, 2, 1000, 1.0f, 10, 4);  // 2000
  setLoad(heavy, 6, 1000, 1.0f, 10, 4);  // 6000
  const int draws = 20000;
  int lightWins = 0, heavyWins = 0;
  for (int i = 0; i < draws; i++) {
    uint32_t a = leastLoadedHost(in_addr{0});
    if (a == ip("198.51.100.11")) lightWins++;
    if (a == ip("198.51.100.12")) heavyWins++;
  }
  EXPECT_EQ(lightWins + heavyWins, draws);
  double share = (double)lightWins / draws;
  EXPECT_NEAR(share, 0.25, 0.25 * 0.05);
  for (int i = 0; i < 1000; i++) {
    int32_t r = getRandom(7);
    ASSERT_GE(r, 0);
    ASSERT_LT(r, 7);
  }
}

}  // namespace
