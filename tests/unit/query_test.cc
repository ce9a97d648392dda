// query_test.cc - the token and terminal lookups: query texts, the query
// table, reply matching and the newest-session rule, the bounded list text,
// and the retry schedule against a fake peer on loopback under a fake clock.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "placement/placement.h"
#include "placement/query_engine.h"
#include "testutil.h"

namespace {

time_t fakeNow;
std::vector<int> sleeps;
time_t fakeClock() { return fakeNow; }
// A window in which no datagram arrives costs one fake second.
int fakePoll(struct pollfd *fds, nfds_t n, int ms) {
  if (n == 0) {
    sleeps.push_back(ms);
    fakeNow += ms / 1000;
    return 0;
  }
  int r = ::poll(fds, n, std::min(ms, 500));
  if (r == 0) fakeNow += (ms + 999) / 1000;
  return r;
}

// Sockets on 127.0.0.1 and 127.0.0.2 sharing a port: they log each query
// and send back what answer makes of it.
struct FakePeer {
  int fd[2], port = 0;
  std::mutex mu;
  std::vector<std::string> got[2];
  std::function<std::string(int, const std::string &)> answer;
  std::atomic<bool> stop{false};
  std::thread th;
  FakePeer() {
    for (int i = 0; i < 2; i++) {
      fd[i] = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in a = {AF_INET, htons((uint16_t)port), {ip(i ? "127.0.0.2" : "127.0.0.1")}, {}};
      EXPECT_EQ(bind(fd[i], (sockaddr *)&a, sizeof a), 0);
      socklen_t len = sizeof a;
      getsockname(fd[i], (sockaddr *)&a, &len);
      port = ntohs(a.sin_port);
    }
    th = std::thread([this] {
      while (!stop) {
        pollfd p[2] = {{fd[0], POLLIN, 0}, {fd[1], POLLIN, 0}};
        if (::poll(p, 2, 20) <= 0) continue;
        for (int i = 0; i < 2; i++) {
          char b[512];
          sockaddr_in from;
          socklen_t len = sizeof from;
          if (!(p[i].revents & POLLIN)) continue;
          ssize_t n = recvfrom(fd[i], b, sizeof b, 0, (sockaddr *)&from, &len);
          std::lock_guard<std::mutex> g(mu);
          got[i].emplace_back(b, n > 0 ? (size_t)n : 0);
          std::string r = answer ? answer(i, got[i].back()) : "";
          if (!r.empty()) sendto(fd[i], r.data(), r.size(), 0, (sockaddr *)&from, len);
        }
      }
    });
  }
  ~FakePeer() {
    stop = true;
    th.join();
    close(fd[0]);
    close(fd[1]);
  }
  // The queries seen once those in flight have arrived.
  size_t count(int i, size_t want) {
    for (int k = 0; k < 200 && n(i) < want; k++) usleep(10000);
    usleep(30000);
    return n(i);
  }
  size_t n(int i) {
    std::lock_guard<std::mutex> g(mu);
    return got[i].size();
  }
};

std::string field(const std::string &q, const std::string &key) {
  size_t p = q.rfind(key + "=", 0) == 0 ? 0 : q.find(" " + key + "=");
  if (p == std::string::npos) return "";
  p = q.find('=', p) + 1;
  return q.substr(p, q.find_first_of(" \n", p) - p);
}

class Query : public ::testing::Test {
 protected:
  gm_sys saved = gmSys;
  FakePeer peer;
  void SetUp() override {
    resetGroupState();
    resetSignature();
    gmSys = {fakeClock, fakePoll};
    fakeNow = 1000000;
    sleeps.clear();
  }
  void TearDown() override {
    gmSys = saved;
    resetGroupState();
  }
  void loopbackGroup() {  // "here" on 127.0.0.1, "peer" on 127.0.0.2, 50 s ahead
    params.gmport = peer.port;
    interface mine = makeIf("lo", "127.0.0.1", "255.0.0.0", 0, fakeNow);
    host *m = makeHost("here", "127.0.0.1", TRUSTED, &mine, 1);
    myhost = *m;
    free(m);
    myhost.starttime = fakeNow - 100;
    hostList[0] = &myhost;
    interface p = makeIf("lo:2", "127.0.0.2", "255.0.0.0", 0, fakeNow);
    p.tqTimedout = 1;  // silent in the previous lookup
    hostList[1] = makeHost("peer", "127.0.0.2", TRUSTED, &p, 1);
    hostList[1]->timeoff = 50;
    numhosts = 2;
  }
};

// Three entries a, b, c and no socket.
struct FakeRun {
  hostifreply tab[3] = {};
  uint32_t target = 0;
  char list[256] = "";
  queryRun run = {};
  FakeRun(const queryKind *k, const char *key, const char *ctoken) {
    for (int i = 0; i < 3; i++) {
      tab[i].state = -2;
      tab[i].hcopy.name[0] = (char)('a' + i);
    }
    run = {k, key, ctoken, tab, 3, 3, 0, &target, list, sizeof list};
  }
  int reply(const char *text) {
    char b[GM_REPLYMAX + 1];
    snprintf(b, sizeof b, "%s", text);
    return queryHandleReply(&run, b);
  }
};

TEST(QueryText, AtTravelsInMemoryOrderAndLongIdsAreRefused) {
  char b[GM_TERMQ_BUF];
  ASSERT_GT(tokenQCompose(b, sizeof b, "ct", "it", ip("10.0.0.1"), 3), 0);
  EXPECT_STREQ(b, "tokenQ=it at=100000a hostix=3 ctoken=ct\n");
  std::string t43(43, 'x'), t60(60, 'x');
  EXPECT_GT(termQCompose(b, sizeof b, t43.c_str(), ip("255.255.255.255"), INT32_MIN), 0);
  EXPECT_EQ(termQCompose(b, sizeof b, t60.c_str(), ip("10.0.0.1"), 0), -1);
  EXPECT_STREQ(b, "");
}

TEST(QueryReply, OnlyMatchingCompleteRepliesCountAndOnlyOnce) {
  FakeRun r(&tokenKind, "it", "ct");
  for (const char *t :
       {"tokenR=other at=1 hostix=0 time=5 dpy=1\n",
        "tokenR=it at=1 hostix=0 time=5 dpy=1 ctoken=zz\n", "tokenR=it at=1 time=5 dpy=1\n",
        "tokenR=it at=1 hostix=3 time=5 dpy=1\n", "tokenR=it at=1 hostix=-1 time=5 dpy=1\n",
        "tokenR=it hostix=0 time=5 dpy=1\n", "tokenR=it at=1 hostix=0 dpy=1\n",
        "tokenR=it at=1 hostix=0 time=5\n", "termR=it at=1 hostix=0 has=1\n"})
    EXPECT_EQ(r.reply(t), -1) << t;
  EXPECT_EQ(r.run.expect, 3);
  r.tab[0].tqTimedout = 1;  // no ctoken pair is no mismatch
  EXPECT_EQ(r.reply("tokenR=it at=7 hostix=0 time=5 dpy=1 load=0.5 sessions=2\n"), 0);
  EXPECT_EQ(r.reply("tokenR=it at=7 hostix=0 time=5 dpy=1 load=1.5 sessions=4 ctoken=ct\n"), 0);
  EXPECT_EQ(r.tab[0].state, 0);
  EXPECT_EQ(r.tab[0].tqTimedout, 0);
  EXPECT_EQ(r.run.expect, 2);
  EXPECT_STREQ(r.list, "a 1 5 0\n");
  EXPECT_FLOAT_EQ(r.tab[0].hcopy.load, 1.5f);  // the repeat still refreshes
  EXPECT_EQ(r.tab[0].hcopy.sessions, 4);
}

TEST(QueryReply, NewestLiveSessionWinsOnTheLocalClock) {
  FakeRun r(&tokenKind, "it", "");
  r.tab[0].hcopy.timeoff = 50;
  r.tab[2].hcopy.flags = OFFLINE;
  r.reply("tokenR=it at=a hostix=0 time=250 dpy=3\n");  // 200 here
  r.reply("tokenR=it at=b hostix=1 time=199 dpy=4\n");
  r.reply("tokenR=it at=c hostix=2 time=900 dpy=-2\n");  // idle never wins
  EXPECT_EQ(r.target, 0xau);
  EXPECT_EQ(r.tab[2].state, -1);
  r.tab[1].state = -2;
  r.tab[1].hcopy.timeoff = -1;
  r.reply("tokenR=it at=d hostix=1 time=199 dpy=4\n");  // a tie keeps the first
  EXPECT_EQ(r.target, 0xau);
  EXPECT_STREQ(r.list, "a 3 200 0\nb 4 199 0\nc -2 900 1\nb 4 200 0\n");
  FakeRun s(&tokenKind, "it", "");
  s.tab[0].hcopy.timeoff = 300;  // corrected below zero: never wins
  s.reply("tokenR=it at=a hostix=0 time=250 dpy=3\n");
  EXPECT_EQ(s.target, 0u);

  // Small list buffer: whole lines that do not fit are dropped.
  char buf[32];
  memset(buf, '#', sizeof buf);
  strcpy(buf, "x\n");
  FakeRun t(&tokenKind, "it", "");
  t.run.buf = buf;
  t.run.buflen = 20;
  t.reply("tokenR=it at=a hostix=0 time=7 dpy=3\n");
  t.reply("tokenR=it at=a hostix=1 time=123456 dpy=3\n");
  t.reply("tokenR=it at=a hostix=2 time=1 dpy=-1\n");
  EXPECT_STREQ(buf, "x\na 3 7 0\nc -1 1 0\n");
  EXPECT_EQ(std::string(buf + 20, 12), std::string(12, '#'));
}

TEST(QueryReply, TerminalLastHolderWins) {
  FakeRun r(&termKind, "T1", nullptr);
  EXPECT_EQ(r.reply("termR=T2 at=5 hostix=0 has=1\n") + r.reply("termR=T1 at=5 hostix=0\n") +
                r.reply("termR=T1 hostix=0 has=1\n"),
            -3);
  EXPECT_EQ(r.reply("termR=T1 at=5 hostix=0 has=0\n"), 0);
  EXPECT_EQ(r.target, 0u);
  r.reply("termR=T1 at=6 hostix=1 has=1\n");
  r.reply("termR=T1 at=7 hostix=2 has=1\n");
  EXPECT_EQ(r.target, 7u);
  r.reply("termR=T1 at=6 hostix=1 has=1\n");
  EXPECT_EQ(r.target, 6u);
  EXPECT_EQ(r.tab[0].state + r.tab[1].state + r.tab[2].state, -1);
  EXPECT_EQ(r.run.expect, 0);
}

TEST_F(Query, TableHonoursTrustLivenessSubnetAndLanRules) {
  params.debug = 1;
  interface mine[] = {makeIf("eth0", "198.51.100.10", "255.255.255.0", LAN, fakeNow),
                      makeIf("nb0", "203.0.113.10", "255.255.255.0", 0, fakeNow)};
  mine[1].tqTimedout = 1;
  host *m = makeHost("here", "198.51.100.10", TRUSTED, mine, 2);
  myhost = *m;
  free(m);
  hostList[0] = &myhost;
  interface p1[] = {makeIf("eth0", "198.51.100.11", "255.255.255.0", LAN, fakeNow),
                    makeIf("nb0", "203.0.113.11", "255.255.255.0", 0, 0)};
  hostList[1] = makeHost("p1", "198.51.100.11", TRUSTED | LAN_OK, p1, 2);
  interface p2 = makeIf("eth0", "198.51.100.12", "255.255.255.0", LAN, fakeNow);
  hostList[2] = makeHost("p2", "198.51.100.12", TRUSTED, &p2, 1);
  interface p3 = makeIf("nb0", "203.0.113.13", "255.255.255.0", 0, fakeNow);
  hostList[3] = makeHost("p3", "203.0.113.13", 0, &p3, 1);
  numhosts = 4;
  auto entries = [](const queryKind *k, const char *client) {
    int n = -1;
    hostifreply *t = queryBuildTable(k, client ? ip(client) : 0, &n);
    std::string s;
    for (int i = 0; i < n; i++) {
      char a[16];
      toDottedDecimal(ntohl(t[i].ifAddr), a);
      s += std::string(t[i].hcopy.name) + "@" + a + "#" + std::to_string(t[i].hostix) +
           (t[i].tqTimedout ? "!" : "") + (t[i].state != -2 || t[i].hcopy.hostifs ? "?" : "") + " ";
    }
    free(t);
    return s;
  };
  EXPECT_EQ(entries(&tokenKind, nullptr), "here@203.0.113.10#0! p1@198.51.100.11#1 ");
  std::string t;
  {
    LogCapture log;  // a LAN client: the local host falls back on its host address
    EXPECT_EQ(entries(&tokenKind, "198.51.100.77"), "here@198.51.100.10#0 p1@198.51.100.11#1 ");
    EXPECT_EQ(entries(&termKind, "198.51.100.77"), "here@198.51.100.10#0 p1@198.51.100.11#1 ");
    t = log.text();
  }
  EXPECT_NE(t.find("\thost a6433c6 4\n"), std::string::npos);
  EXPECT_NE(t.find("\t\tlanif eth0 adr a6433c6\n"), std::string::npos);
  EXPECT_EQ(t.find("\t\tlanif"), t.rfind("\t\tlanif"));  // the term table says "if"
  EXPECT_EQ(entries(&tokenKind, "203.0.113.77"), "here@203.0.113.10#0! ");
  myhost.flags |= LAN_OK;
  numhosts = 1;  // never more entries than counted, whatever the walk finds
  EXPECT_EQ(entries(&tokenKind, nullptr), "here@198.51.100.10#0 here@203.0.113.10#0! ");
}

TEST_F(Query, StartDelayWaitsOutTheGracePeriod) {
  myhost.starttime = fakeNow - 5;
  startDelay();
  myhost.starttime = fakeNow - 20;
  startDelay();
  EXPECT_EQ(sleeps, std::vector<int>{15000});
}

TEST_F(Query, SilentPeersGetRetriesOnceAndTimeOutOnce) {
  loopbackGroup();
  params.debug = 1;
  char list[128] = "";
  uint32_t target = 0;
  for (int round = 0; round < 2; round++) {
    LogCapture log;
    list[0] = '\0';
    EXPECT_EQ(collectSessions("ct", "it", "", 3, &target, list, sizeof list), 0);
    std::string t = log.text();
    EXPECT_EQ(t.find("timed out to host peer"), std::string::npos);
    EXPECT_STREQ(list, "here -1 -2 0\npeer -1 -2 0\n");
    EXPECT_EQ(myhost.hostifs[0].tqTimedout, 1);
    if (round == 1) {
      EXPECT_EQ(t.find("timed out"), std::string::npos);  // no change, no report
      break;
    }
    EXPECT_EQ(peer.count(0, 3), 3u);  // a transmission and two retries
    EXPECT_EQ(peer.count(1, 1), 1u);  // silent last time: sent once
    EXPECT_NE(t.find("token query retry 2 to host here interface 127.0.0.1\n"), std::string::npos);
    EXPECT_NE(t.find("token query timed out to host here interface 127.0.0.1\n"),
              std::string::npos);
    EXPECT_EQ(log.text().find("timed out", 0), log.text().rfind("timed out"));
  }
  EXPECT_EQ(peer.count(0, 4), 4u);
  EXPECT_EQ(peer.count(1, 2), 2u);
  EXPECT_EQ(target, 0u);
  EXPECT_FLOAT_EQ(hostList[1]->load, -1.0f);
}

TEST_F(Query, LookupEndsOnceAllAnsweredAndWritesBack) {
  loopbackGroup();
  peer.answer = [](int i, const std::string &q) {
    if (q.rfind("termQ=", 0) == 0)
      return "termR=" + field(q, "termQ") + " at=" + field(q, "at") +
             " hostix=" + field(q, "hostix") + " has=" + std::to_string(i) + "\n";
    return "tokenR=" + field(q, "tokenQ") + " at=" + field(q, "at") +
           " hostix=" + field(q, "hostix") +
           (i ? " time=1050 dpy=4 load=2.0 sessions=7" : " time=-1 dpy=-1 idles=1") +
           " ctoken=" + field(q, "ctoken") + "\n";
  };
  char list[64] = "old\n";
  uint32_t target = 0;
  EXPECT_EQ(collectSessions("ct", "it", "", 5, &target, list, sizeof list), 0);
  EXPECT_EQ(fakeNow, 1000000);  // no window ran out
  EXPECT_EQ(peer.count(0, 1) + peer.count(1, 1), 2u);
  EXPECT_EQ(field(peer.got[1][0], "at"), "200007f");
  EXPECT_EQ(target, ip("127.0.0.2"));
  std::string l = list;
  EXPECT_TRUE(l == "old\nhere -1 -1 0\npeer 4 1000 0\n" ||
              l == "old\npeer 4 1000 0\nhere -1 -1 0\n")
      << l;
  EXPECT_EQ(hostList[1]->hostifs[0].tqTimedout, 0);
  EXPECT_FLOAT_EQ(hostList[1]->load, 2.0f);
  EXPECT_EQ(hostList[1]->sessions, 7);
  EXPECT_EQ(myhost.idles, 1);
  EXPECT_EQ(myhost.sessions, -1);  // not answered, not written

  char answer[64] = "junk";
  EXPECT_EQ(findPrimary("T1", "", nullptr, answer), 0);
  EXPECT_STREQ(answer, "7f000002");
  std::string t44(44, 'x');  // might not fit its query: refused unsent
  EXPECT_EQ(findPrimary(t44.c_str(), "", nullptr, answer), -1);
  EXPECT_STREQ(answer, "");
  EXPECT_EQ(peer.count(0, 2) + peer.count(1, 2), 4u);
}

}  // namespace
