// query_test.cc - the token and terminal lookups: query texts, the query
// table, reply matching and the newest-session rule, the bounded list text,
// and the retry schedule against a fake peer on loopback under a fake clock.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <string.h>
#include <unistd.h>

#include <functional>
#include <vector>

#include "placement/placement.h"
#include "placement/query_engine.h"
#include "testutil.h"

namespace {

std::vector<int> sleeps;

// The peer: sockets on 127.0.0.1 and 127.0.0.2 sharing a port, served from
// inside the fake poll. They log each query and send back what answer makes
// of it. A window in which no reply arrives costs its length on the clock.
int peerFd[2];
std::vector<std::string> got[2];
std::function<std::string(int, const std::string &)> answer;
int fakePoll(struct pollfd *fds, nfds_t n, int ms) {
  pollfd p[3] = {n ? fds[0] : pollfd{-1, 0, 0}, {peerFd[0], POLLIN, 0}, {peerFd[1], POLLIN, 0}};
  if (n == 0) sleeps.push_back(ms);
  while (n > 0 && ::poll(p, 3, 100) > 0) {
    if ((fds[0].revents = p[0].revents) != 0) return 1;
    for (int i = 0; i < 2; i++) {
      if (!(p[i + 1].revents & POLLIN)) continue;
      char b[512];
      sockaddr_in from;
      socklen_t len = sizeof from;
      got[i].emplace_back(b, std::max(recvfrom(peerFd[i], b, sizeof b, 0, (sockaddr *)&from, &len), 0L));
      std::string r = answer ? answer(i, got[i].back()) : "";
      if (!r.empty()) sendto(peerFd[i], r.data(), r.size(), 0, (sockaddr *)&from, len);
    }
  }
  fakeNow += (ms + 999) / 1000;
  return 0;
}

class Query : public GroupTest {
 protected:
  void SetUp() override {
    gmSys = {fakeClock, fakePoll}, fakeNow = 1000000, answer = nullptr;
    sleeps.clear(), got[0].clear(), got[1].clear();
    sockaddr_in a;
    peerFd[0] = loopbackSocket(SOCK_DGRAM, &a);
    peerFd[1] = loopbackSocket(SOCK_DGRAM, nullptr, "127.0.0.2", a.sin_port);
    params.gmport = ntohs(a.sin_port);
  }
  void TearDown() override { close(peerFd[0]), close(peerFd[1]); }
  void loopbackGroup() {  // "here" on 127.0.0.1, "peer" on 127.0.0.2, 50 s ahead
    addHost("here", "127.0.0.1", TRUSTED, {makeIf("lo", "127.0.0.1", "255.0.0.0", 0, fakeNow)});
    host *p = addHost("peer", "127.0.0.2", TRUSTED, {makeIf("lo:2", "127.0.0.2", "255.0.0.0", 0, fakeNow)});
    p->hostifs[0].tqTimedout = 1, p->timeoff = 50;  // silent in the previous lookup
    myhost.starttime = fakeNow - 100;
  }
  char list[128] = "";  // what a lookup leaves
  uint32_t target = 0;
};

// Three entries a, b, c and no socket.
struct FakeRun {
  hostifreply tab[3] = {};
  uint32_t target = 0;
  char list[256] = "";
  queryRun run;
  FakeRun(const queryKind *k, const char *key, const char *ct)
      : run{k, key, ct, tab, 3, 3, 0, &target, list, sizeof list} {
    for (int i = 0; i < 3; i++) tab[i].state = -2, tab[i].hcopy.name[0] = (char)('a' + i);
  }
  int reply(std::string text) { return queryHandleReply(&run, text.data()); }
};

TEST(QueryText, AtTravelsInMemoryOrderAndLongIdsAreRefused) {
  // Into a terminal query's buffer: a text fits up to 81 bytes, which leaves
  // room for the trailer. Token rows carry the ctoken "ct"; "" is refused.
  const std::string x48(48, 'x'), x59(59, 'x');
  struct { bool token; std::string id; uint32_t host; int ix; std::string want; } rows[] = {
      {true, "it", ip("10.0.0.1"), 3, "tokenQ=it at=100000a hostix=3 ctoken=ct\n"},
      {true, "", 0, 0, "tokenQ= at=0 hostix=0 ctoken=ct\n"},
      {false, "k", 0xffffffffu, INT32_MIN, "termQ=k at=ffffffff hostix=-2147483648\n"},
      {false, x59, 0xa, 99, "termQ=" + x59 + " at=a hostix=99\n"}, {false, x59 + "x", 0xa, 99, ""},
      {true, x48, 0, -1, "tokenQ=" + x48 + " at=0 hostix=-1 ctoken=ct\n"}, {true, x48 + "x", 0, -1, ""}};
  char b[GM_TERMQ_BUF];
  for (const auto &r : rows) {
    int n = r.token ? tokenQCompose(b, sizeof b, "ct", r.id.c_str(), r.host, r.ix)
                    : termQCompose(b, sizeof b, r.id.c_str(), r.host, r.ix);
    EXPECT_EQ(n, r.want.empty() ? -1 : (int)r.want.size()) << r.id;
    EXPECT_EQ(b, r.want);
  }
  EXPECT_TRUE(tokenQCompose(b, sizeof b, nullptr, nullptr, 1, 2) == 30 && !strcmp(b, "tokenQ= at=1 hostix=2 ctoken=\n"));
}

TEST(QueryReply, OnlyMatchingCompleteRepliesCountOnceAndTheNewestOrLastHolderWins) {
  FakeRun r(&tokenKind, "it", "ct");
  for (const char *t :
       {"tokenR=other at=1 hostix=0 time=5 dpy=1\n",
        "tokenR=it at=1 hostix=0 time=5 dpy=1 ctoken=zz\n", "tokenR=it at=1 time=5 dpy=1\n",
        "tokenR=it at=1 hostix=3 time=5 dpy=1\n", "tokenR=it at=1 hostix=-1 time=5 dpy=1\n",
        "tokenR=it hostix=0 time=5 dpy=1\n", "tokenR=it at=1 hostix=0 dpy=1\n",
        "tokenR=it at=1 hostix=0 time=5\n", "termR=it at=1 hostix=0 has=1\n"})
    EXPECT_EQ(r.reply(t), -1) << t;
  EXPECT_EQ(r.run.expect, 3);
  r.tab[0].tqTimedout = 1;  // no ctoken pair is no mismatch; the repeat counts once
  EXPECT_TRUE(r.reply("tokenR=it at=7 hostix=0 time=5 dpy=1 load=0.5 sessions=2\n") == 0 &&
              r.reply("tokenR=it at=7 hostix=0 time=5 dpy=1 load=1.5 sessions=4 ctoken=ct\n") == 0);
  EXPECT_TRUE(r.tab[0].tqTimedout == 0 && r.tab[0].state == 0 && r.run.expect == 2 && !strcmp(r.list, "a 1 5 0\n"));
  EXPECT_FLOAT_EQ(r.tab[0].hcopy.load, 1.5f);  // the repeat still refreshes

  FakeRun n(&tokenKind, "it", "");
  n.tab[0].hcopy.timeoff = 50, n.tab[2].hcopy.flags = OFFLINE;
  n.reply("tokenR=it at=a hostix=0 time=250 dpy=3\n");  // 200 here
  n.reply("tokenR=it at=b hostix=1 time=199 dpy=4\n");
  n.reply("tokenR=it at=c hostix=2 time=900 dpy=-2\n");  // idle never wins
  EXPECT_STREQ(n.list, "a 3 200 0\nb 4 199 0\nc -2 900 1\n");
  EXPECT_TRUE(n.target == 0xau && n.tab[2].state == -1);

  FakeRun t(&tokenKind, "it", "");  // whole lines that do not fit are dropped
  memset(t.list, '#', 32), strcpy(t.list, "x\n"), t.run.buflen = 20;
  t.reply("tokenR=it at=a hostix=0 time=7 dpy=3\n");
  t.reply("tokenR=it at=b hostix=1 time=123456 dpy=-1\n");  // no session: never wins
  t.reply("tokenR=it at=c hostix=2 time=9 dpy=3\n");
  EXPECT_STREQ(t.list, "x\na 3 7 0\nc 3 9 0\n");
  EXPECT_TRUE(std::string(t.list + 20, 12) == std::string(12, '#') && t.target == 0xcu);

  FakeRun m(&termKind, "T1", nullptr);
  EXPECT_EQ(m.reply("termR=T1 at=5 hostix=0\n") + m.reply("termR=T1 hostix=0 has=1\n"), -2);
  EXPECT_EQ(m.reply("termR=T1 at=5 hostix=0 has=0\n"), 0);
  m.reply("termR=T1 at=7 hostix=2 has=1\n"), m.reply("termR=T1 at=6 hostix=1 has=1\n");
  EXPECT_TRUE(m.target == 6u && m.tab[0].state + m.tab[1].state + m.tab[2].state == -1);
}

TEST_F(Query, TableHonoursTrustLivenessSubnetAndLanRules) {
  const char *m24 = "255.255.255.0";
  addHost("here", "198.51.100.10", TRUSTED, {makeIf("eth0", "198.51.100.10", m24, LAN, fakeNow),
                                              makeIf("nb0", "203.0.113.10", m24, 0, fakeNow)});
  myhost.hostifs[1].tqTimedout = 1;
  interface lan = makeIf("eth0", "198.51.100.11", m24, LAN, fakeNow);
  addHost("p1", "198.51.100.11", TRUSTED | LAN_OK, {lan, makeIf("nb0", "203.0.113.11", m24, 0, 0)});
  addHost("p2", "198.51.100.11", TRUSTED, {lan});  // LAN without LAN_OK
  addHost("p3", "203.0.113.13", 0, {makeIf("nb0", "203.0.113.13", m24, 0, fakeNow)});  // untrusted
  auto entries = [](const queryKind *k, const char *client) {
    int n = -1;
    hostifreply *t = queryBuildTable(k, client ? ip(client) : 0, &n);
    std::string s;
    for (int i = 0; i < n; i++)
      s += std::string(t[i].hcopy.name) + "@" + inet_ntoa({t[i].ifAddr}) + "#" +
           std::to_string(t[i].hostix) + (t[i].tqTimedout ? "! " : " ");
    free(t);
    return s;
  };
  EXPECT_EQ(entries(&tokenKind, nullptr), "here@203.0.113.10#0! p1@198.51.100.11#1 ");
  // A LAN client: the local host falls back on its host address.
  EXPECT_EQ(entries(&tokenKind, "198.51.100.77"), "here@198.51.100.10#0 p1@198.51.100.11#1 ");
  EXPECT_EQ(entries(&termKind, "203.0.113.77"), "here@203.0.113.10#0! ");
  myhost.flags |= LAN_OK;
  numhosts = 1;  // never more entries than counted, whatever the walk finds
  EXPECT_EQ(entries(&tokenKind, nullptr), "here@198.51.100.10#0 here@203.0.113.10#0! ");
}

TEST_F(Query, StartDelayThenRetriesForSilentPeersAndTimeOutsReportedOnChange) {
  for (int age : {5, 20}) myhost.starttime = fakeNow - age, startDelay();  // waits out the grace
  EXPECT_EQ(sleeps, std::vector<int>{15000});
  loopbackGroup();
  std::string logs[2];
  for (int round = 0; round < 2; round++) {
    LogCapture log(1);
    list[0] = '\0', target = 0;
    EXPECT_EQ(collectSessions("ct", "it", "", 3, &target, list, sizeof list), 0);
    EXPECT_EQ(list + std::to_string(target), "here -1 -2 0\npeer -1 -2 0\n0");
    // The last retry has no window of its own. A transmission and two
    // retries; once only to an interface silent before.
    pollfd none = {-1, 0, 0};
    EXPECT_EQ((fakePoll(&none, 1, 0), got[0].size() * 10 + got[1].size()), round ? 42u : 31u);
    logs[round] = log.text();
  }
  EXPECT_TRUE(contains(logs[0], "token query timed out to host here interface 127.0.0.1\n") &&
              myhost.hostifs[0].tqTimedout == 1);
  EXPECT_FALSE(contains(logs[0], "timed out to host peer") || contains(logs[1], "timed out"));
}

TEST_F(Query, LookupEndsOnceAllAnsweredAndWritesBack) {
  loopbackGroup();
  // Ids that would break the framing are not sent.
  EXPECT_EQ(collectSessions("c t", "it", "", 5, &target, list, sizeof list) +
                collectSessions("ct", "i\nt", "", 5, &target, list, sizeof list) +
                doTermQs("a=b", "", 5, &target) + doTermQs("x#sig=0", "", 5, &target), -4);
  EXPECT_TRUE(got[0].empty() && got[1].empty() && list[0] == '\0');
  answer = [](int i, const std::string &q) {  // hostix echoed; only the peer has a session
    std::string ix = q.substr(q.find("hostix=") + 7, 1), at = i ? "200007f" : "100007f";
    if (q[1] == 'e') return "termR=T1 at=" + at + " hostix=" + ix + " has=" + ix + "\n";
    std::string r = i ? " time=1050 dpy=4 load=2.0 sessions=7" : " time=-1 dpy=-1 idles=1";
    return "tokenR=it at=" + at + " hostix=" + ix + r + " ctoken=ct\n";
  };
  strcpy(list, "old\n");
  EXPECT_EQ(collectSessions("ct", "it", "", 5, &target, list, sizeof list), 0);
  EXPECT_TRUE(fakeNow == 1000000 && got[0].size() + got[1].size() == 2);  // no window ran out
  EXPECT_EQ(got[1].at(0), "tokenQ=it at=200007f hostix=1 ctoken=ct\n");
  EXPECT_EQ(target, ip("127.0.0.2"));
  EXPECT_TRUE(strcmp(list, "old\nhere -1 -1 0\npeer 4 1000 0\n") == 0 ||
              strcmp(list, "old\npeer 4 1000 0\nhere -1 -1 0\n") == 0) << list;
  // Written back: the peer's load and its interface's answer, not what nobody answered.
  char loads[2][64];
  groupLoadLine(0, loads[0]), groupLoadLine(1, loads[1]);
  EXPECT_EQ(std::string(loads[0]) + loads[1], "sessions -1 idles 1 load -1.0\nsessions 7 idles -1 load 2.0\n");
  EXPECT_EQ(hostList[1]->hostifs[0].tqTimedout, 0);
  // A slot that a full table gave to another host while the lookup ran gets
  // nothing of the lookup's answers.
  hostifreply gone = {};
  gone.hostix = 1, gone.hcopy = *hostList[1], gone.hcopy.load = 9;
  strcpy(gone.hcopy.name, "gone");
  queryWriteBack(&tokenKind, &gone, 1);
  EXPECT_EQ(hostList[1]->load, 2.0f);

  char out[64] = "junk", out2[64] = "junk";
  EXPECT_EQ(findPrimary("T1", "", nullptr, out) + findPrimary(std::string(44, 'x').c_str(), "", nullptr, out2), -1);
  // The long one is refused unsent.
  EXPECT_TRUE(!strcmp(out, "7f000002") && out2[0] == '\0' && got[0].size() + got[1].size() == 4u) << out;
}

}  // namespace
