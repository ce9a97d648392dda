// loopback_test.cc - the manager's start-up line for a host name that
// resolves to a loopback address: written once, whatever the debug level and
// however many refreshes follow, and never for any other address.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "testutil.h"

namespace {

int waits;

// Each wait is a whole interval; the third ends the child.
int threeIntervals(struct pollfd *, nfds_t, int timeout) {
  fakeNow += timeout / 1000;
  if (++waits == 3) _exit(0);
  return 0;
}

// What a manager on host zvhost, whose name resolves to addr, writes to
// its log over three intervals; "SKIP: why" when it cannot be run here.
std::string startUpLog(const std::string &addr) {
  TempDir etc;
  std::string log = etc.path + "/log";
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string why = ownHostsFile(etc, addr + " zvhost\n", "zvhost");
    if (!why.empty()) _exit(write(fd, ("SKIP: " + why).data(), why.size() + 6) > 0 ? 77 : 78);
    dup2(fd, 2);
    resetGroupState();
    fakeNow = 1100000000, gmSys = {fakeClock, threeIntervals};
    char err[128] = "";
    groupManager({.gmport = 7009, .keepAliveInterval = 20, .LANallowed = 0, .enableGM = 0,
                  .use_multicast = 1, .mcaddr = "", .mcTTL = 0, .use_lb = 0, .debug = 0,
                  .sigfile = ""},
                 err);
    _exit(255);
  }
  int st = -1;
  waitpid(pid, &st, 0);
  std::string text = slurp(log);
  if (!WIFEXITED(st) || (WEXITSTATUS(st) != 0 && WEXITSTATUS(st) != 77)) return "child failed: " + text;
  return text;
}

size_t count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) n++;
  return n;
}

TEST(StartUp, SaysOnceThatTheHostNameResolvesToLoopback) {
  const std::string line =
      "zvhost resolves to the loopback address 127.0.1.1, which this server announces as its "
      "own: sessions placed on it from routed networks go nowhere; give zvhost its LAN address "
      "in /etc/hosts\n";
  for (auto [addr, times] : {std::pair<std::string, size_t>{"127.0.1.1", 1}, {"10.1.2.3", 0}}) {
    std::string log = startUpLog(addr);
    if (log.rfind("SKIP: ", 0) == 0) GTEST_SKIP() << log.substr(6);
    EXPECT_EQ(count(log, line), times) << addr << ":\n" << log;
    EXPECT_EQ(count(log, "loopback"), times) << addr << ":\n" << log;
  }
}

}  // namespace
