// lograte_test.cc - the bound on the always-on lines that received datagrams
// cause: each kind written every time up to its burst in an interval, then
// counted, with one count line once the interval is over. Driven through the
// handlers that datagrams reach, so that each line is checked as they write
// it and under its own label.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "placement/placement.h"
#include "testutil.h"

namespace {

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

class LogRate : public GroupTest {
 protected:
  sockaddr_in from;
  int fd = loopbackSocket(SOCK_DGRAM, &from);

  void SetUp() override {
    useSessionDirs();
    gmSys.now = fakeClock, fakeNow = 2000000000;
    setLogRateInterval(20);
    params.gmport = 7123;
    addHost("here", "127.0.0.10", TRUSTED, {makeIf("nb0", "127.0.0.10", "255.0.0.0", 0)});
  }
  void TearDown() override { close(fd); }
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
