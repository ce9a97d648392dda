// responders_test.cc - the answers to peers' token, terminal and server
// queries, and the lookup of a token in the session directories. Replies go
// to a socket of the test's own on 127.0.0.1, which also sends them. That
// replies are signed (server replies never) is checked by the fuzz targets.
// Then the bound on the always-on lines that received datagrams cause: each
// kind written every time up to its burst in an interval, then counted, with
// one count line once the interval is over. Driven through the handlers
// that datagrams reach, so that each line is checked as they write it and
// under its own label.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "placement/placement.h"
#include "testutil.h"

namespace {

typedef std::vector<std::string> Replies;

class Responders : public GroupTest {
 protected:
  sockaddr_in from;
  int fd = loopbackSocket(SOCK_DGRAM, &from);

  void SetUp() override {
    me("127.0.0.10", {makeIf("nb0", "127.0.0.10", "255.0.0.0", 0)});
    gmSys.now = [] { return (time_t)1000; };  // one load sample serves the whole test
    useSessionDirs();
  }
  void TearDown() override { close(fd); }
  // Hands text to a responder; returns the replies.
  Replies deliver(gm_handler responder, std::string text) {
    handTo(responder, fd, &from, text);
    return received(fd, 200);
  }
  // The end of a token reply: what the local host now shows, and the ctoken.
  static std::string tail(const std::string &ctoken) {
    char b[160];
    snprintf(b, sizeof b, " load=%.1f sessions=%d idles=%d ctoken=%s\n", myhost.load,
             myhost.sessions, myhost.idles, ctoken.c_str());
    return b;
  }
  void me(const char *hostAddr, std::vector<interface> ifs, int flags = TRUSTED) {
    resetGroupState(), params.gmport = 7123, addHost("here", hostAddr, flags, ifs);
  }
};

TEST_F(Responders, TokenLinesAnsweredInOrderFromTheRightDirectory) {
  put(ctok + "/ct1", "USER=x\nDISPLAY=7\n", 1234567);
  put(itok + "/it2", "DISPLAY=3\n", 7654321);
  put(ctok + "/it2", "DISPLAY=9\n");
  put(itok + "/it4", "DISPLAY=-2147483648\n", 2147483647);
  auto r = deliver(tokenQMessage,
                   "tokenQ=it1 at=100007f hostix=0 ctoken=ct1\nhost=x at=1 hostix=1\n"
                   "tokenQ=it2 at=200007f hostix=4\ntokenQ=it3 hostix=5\n"  // no at: skipped
                   "tokenQ=it4 at=0 hostix=6\n");
  EXPECT_EQ(r, (Replies{"tokenR=it1 at=100007f hostix=0 time=1234567 dpy=7" + tail("ct1"),
                        "tokenR=it2 at=200007f hostix=4 time=7654321 dpy=3" + tail(""),
                        "tokenR=it4 at=0 hostix=6 time=2147483647 dpy=-2147483648" + tail("")}));
  EXPECT_EQ(deliver(termQMessage, "termQ=T1 at=5 hostix=3\ntermQ=T2 hostix=4\n"),
            Replies{"termR=T1 at=5 hostix=3 has=0\n"});  // no daemon here
}

TEST_F(Responders, LongTokensAndOverlongEchoesGetNoReply) {
  std::string t64(64, 'a'), t65(65, 'b'), a300(300, '1'), a430(430, '1'), a500(500, '1');
  auto r = deliver(tokenQMessage, "tokenQ=" + t64 + " at=1 hostix=0 ctoken=" + t64 + "\ntokenQ=" +
                                      t65 + " at=1 hostix=1\ntokenQ=x at=1 hostix=2 ctoken=" + t65);
  EXPECT_EQ(r, Replies{"tokenR=" + t64 + " at=1 hostix=0 time=-1 dpy=-1" + tail(t64)});  // the refusal's line: the LogRate test
  // Replies that would not fit their buffers with a trailer are dropped.
  EXPECT_EQ(deliver(tokenQMessage, "tokenQ=x at=" + a430 + " hostix=1\ntokenQ=x at=1 hostix=" +
                                       a500 + "\ntokenQ=x at=" + a300 + " hostix=2\n"),
            Replies{"tokenR=x at=" + a300 + " hostix=2 time=-1 dpy=-1" + tail("")});
  EXPECT_TRUE(deliver(termQMessage, "termQ=" + std::string(250, 'T') + " at=1 hostix=3").empty());
}

TEST_F(Responders, SessionFileGivesTimeAndDisplay) {
  auto session = [](const std::string &token, const std::string &where) {
    int dpy = 5, t = getSession(token.c_str(), &dpy, where.c_str());
    return std::to_string(t) + "/" + std::to_string(dpy);
  };
  EXPECT_EQ(session("none", ctok), "-1/-1");
  // A long line comes in pieces; only a line's start can be "DISPLAY=".
  put(ctok + "/t7", std::string(200, 'y') + "DISPLAY=1\nDISPLAY= 7\nDISPLAY=8\n", 5000);
  EXPECT_EQ(session("t7", ctok), "5000/7");
  put(idle + "/7.pid");
  EXPECT_EQ(session("t7", ctok), "5000/-2");
  EXPECT_EQ(session("t7", ctok + "/" + std::string(120, 'd')), "-1/-1");
  // A token names a file of its directory and nothing else.
  put(tmp.path + "/outside", "DISPLAY=3\n", 6000);
  for (const char *t : {"../outside", "", ".", ".."}) EXPECT_EQ(session(t, ctok), "-1/-1") << t;
}

TEST_F(Responders, ServerQueryAnsweredFromTheServingInterface) {
  // The sender, 127.0.0.1, is on the nimbar side.
  interface lan = makeIf("eth0", "198.51.100.10", "255.255.255.0", LAN);
  me("198.51.100.10", {lan, makeIf("nb0", "127.0.0.10", "255.0.0.0", 0)});
  EXPECT_EQ(deliver(serverQMessage, "serverQ=12 x=y\nserverQ=99\n"),
            Replies{"serverR=7f00000a port=7123 seq=12\n"});
  // Its subnet is LAN here: only with LAN_OK, else the host address.
  std::vector<interface> ifs = {makeIf("eth0", "127.0.0.10", "255.0.0.0", LAN),
                                makeIf("nb0", "203.0.113.10", "255.255.255.0", 0)};
  me("203.0.113.10", ifs);
  EXPECT_EQ(deliver(serverQMessage, "serverQ=x9\n"), Replies{"serverR=cb00710a port=7123 seq=0\n"});
  me("203.0.113.10", ifs, TRUSTED | LAN_OK);
  EXPECT_EQ(deliver(serverQMessage, "serverQ=-3\n"), Replies{"serverR=7f00000a port=7123 seq=-3\n"});
  me("198.51.100.10", {lan, makeIf("eth1", "127.0.0.10", "255.0.0.0", LAN)});
  EXPECT_TRUE(deliver(serverQMessage, "serverQ=1\n").empty());
}

// ---- The bound on the lines that datagrams cause ----

// The log's lines without their time stamps ("MM/DD/YYYY hh:mm:ss ").
std::vector<std::string> lines(LogCapture &log) {
  std::vector<std::string> out;
  std::istringstream in(log.text());
  for (std::string l; std::getline(in, l);) out.push_back(l.substr(std::min<size_t>(20, l.size())));
  return out;
}

std::string repeat(const std::string &word, int n) {
  std::string s;
  for (int i = 0; i < n; i++) s += word + std::to_string(i) + "=v ";
  return s + "\n";
}

// The responders' host, its socket and directories, under a fake clock.
class LogRate : public Responders {
 protected:
  void SetUp() override {
    Responders::SetUp();
    gmSys.now = fakeClock, fakeNow = 2000000000;
    setLogRateInterval(20);
  }
  // A new interval for every limiter: what an earlier case counted is
  // reported before the log is read.
  void freshInterval() { fakeNow += 1000, logRateFlush(fakeNow); }
  void query(gm_handler responder, int sock, const std::string &text) { handTo(responder, sock, &from, text); }
};

// Each line a datagram can cause, as the handler writes it: a few appear
// exactly as often as they are caused; past the burst they are counted, and
// the count comes in one line when the interval is over, from the loop's
// refresh or from the next line.
TEST_F(LogRate, EachLineWrittenUpToItsBurstThenCounted) {
  static lograte once = LOGRATE_INIT_BURST("once a time", 1);
  int newcomer = 0;
  auto fill = [] {
    for (int i = 1; numhosts < MAXHOSTS; i++) addHost(("h" + std::to_string(i)).c_str(), "198.51.100.1", TRUSTED);
  };
  auto announce = [&](int sock) {
    handTo(hostMessage, sock, &from, "host=new" + std::to_string(newcomer++) + " addr=c6336401 time=1 numifs=0\n", 1);
  };
  struct Case {
    const char *label;
    std::string line;  // as written, without its time stamp
    int burst;
    std::function<void()> setUp, cause;
  };
  const std::string t65(65, 't');
  const Case cases[] = {
      {"hostMessage:sendto", "hostMessage:sendto: Bad file descriptor", 10, nullptr, [&] { announce(-1); }},
      {"Too many hosts in group", "Too many hosts in group. Increase MAXHOSTS", 10, fill,
       [&] { announce(fd); }},
      {"mkKeyPairs: too many pairs", "mkKeyPairs: too many pairs", 10, nullptr,
       [&] { query(tokenQMessage, fd, "tokenQ=x " + repeat("k", 60)); }},
      {"tokenQMessage: c/itoken too long", "tokenQMessage: c/itoken too long /" + t65.substr(0, 64), 10,
       nullptr, [&] { query(tokenQMessage, fd, "tokenQ=" + t65 + " at=1 hostix=1\n"); }},
      {"Cannot stat displays directory", "Cannot stat displays directory", 10,
       [&] { gmSessionDirs.displays = "/nonexistent/displays"; },
       [&] { query(tokenQMessage, fd, "tokenQ=x at=1 hostix=1\n"); }},
      {"once a time", "once a time", 1, nullptr, [] { log_error_limited(&once, "once a time\n"); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.label);
    if (c.setUp) c.setUp();
    freshInterval();
    LogCapture log;
    std::vector<std::string> want;
    int few = std::min(c.burst, 3);
    for (int i = 0; i < few; i++) c.cause(), want.push_back(c.line);
    fakeNow += 20, logRateFlush(fakeNow);  // nothing counted: nothing to report
    EXPECT_EQ(lines(log), want);
    // A flood: the burst, then a count line per interval.
    time_t start = fakeNow;
    for (int i = 0; i < c.burst + 7; i++) c.cause(), fakeNow += i % 2;
    for (int i = 0; i < c.burst; i++) want.push_back(c.line);
    fakeNow = start + 19, logRateFlush(fakeNow);  // not over: 20 s from its first line
    EXPECT_EQ(lines(log), want);
    fakeNow = start + 20, logRateFlush(fakeNow);
    want.push_back(std::string(c.label) + ": 7 more like this in the last 20 s");
    for (int i = 0; i < c.burst + 2; i++) c.cause();
    fakeNow += 25, c.cause();  // the interval's count comes before the next line
    for (int i = 0; i < c.burst; i++) want.push_back(c.line);
    want.push_back(std::string(c.label) + ": 2 more like this in the last 25 s");
    want.push_back(c.line);
    EXPECT_EQ(lines(log), want);
    gmSessionDirs.displays = disp.c_str();
  }
}

// The responders' failures on the manager thread, interleaved, while lookups
// on several threads split lines at once: each kind is bounded and counted
// under its own label, and every line is either written or counted, never
// both or neither.
TEST_F(LogRate, EachKindCountedApartAndExactlyAcrossThreads) {
  freshInterval();
  LogCapture log;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; t++)
    threads.emplace_back([] {
      for (int i = 0; i < 500; i++) {
        char line[512], *keys[GM_MAXPAIRS + 1], *vals[GM_MAXPAIRS];
        snprintf(line, sizeof line, "%s", repeat("p", 51).c_str());
        mkKeyPairs(line, keys, vals, GM_MAXPAIRS);
      }
    });
  for (int i = 0; i < 13; i++) {
    query(tokenQMessage, -1, "tokenQ=x at=1 hostix=1\n");
    if (i < 12) query(termQMessage, -1, "termQ=x at=1 hostix=1\n");
    if (i < 11) query(serverQMessage, -1, "serverQ=1\n");
  }
  for (std::thread &t : threads) t.join();
  fakeNow += 20, logRateFlush(fakeNow);
  std::vector<std::string> got = lines(log);
  for (const char *what : {"tokenQMessage:sendto: Bad file descriptor", "termQMessage:sendto: Bad file descriptor",
                           "serverQMessage:sendto: Bad file descriptor", "mkKeyPairs: too many pairs"})
    EXPECT_EQ(std::count(got.begin(), got.end(), what), 10) << what;
  ASSERT_EQ(got.size(), 44u);
  std::sort(got.end() - 4, got.end());
  EXPECT_EQ(std::vector<std::string>(got.end() - 4, got.end()),
            (std::vector<std::string>{"mkKeyPairs: too many pairs: 1990 more like this in the last 20 s",
                                      "serverQMessage:sendto: 1 more like this in the last 20 s",
                                      "termQMessage:sendto: 2 more like this in the last 20 s",
                                      "tokenQMessage:sendto: 3 more like this in the last 20 s"}));
}

}  // namespace
