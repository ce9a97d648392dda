// manager_test.cc - the manager loop: dispatch of one datagram by its first
// word, the receive limit, and the start-up record and wait timing of
// groupManager with group networking off.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

#include "testutil.h"

namespace {

// Sends text from a loopback peer to a non-blocking loopback "group socket",
// handles it there, and tells whether the peer got a reply.
bool deliver(const std::string &text) {
  int sock[2];
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  for (int &fd : sock) {
    fd = socket(AF_INET, SOCK_DGRAM, 0);
    bind(fd, (sockaddr *)&a, sizeof a);
  }
  fcntl(sock[0], F_SETFL, O_NONBLOCK);
  handleGroupMessage(sock[0]);  // nothing queued: returns at once
  socklen_t l = sizeof a;
  getsockname(sock[0], (sockaddr *)&a, &l);
  sendto(sock[1], text.data(), text.size(), 0, (sockaddr *)&a, sizeof a);
  pollfd p = {sock[0], POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 1000), 1);
  handleGroupMessage(sock[0]);
  p.fd = sock[1];
  bool replied = poll(&p, 1, 100) == 1;
  close(sock[0]);
  close(sock[1]);
  return replied;
}

TEST(Dispatch, HandsEachDatagramToItsHandler) {
  resetGroupState();
  resetSignature();
  myhost = host{};
  strcpy(myhost.name, "here");
  hostList[0] = &myhost;
  numhosts = 1;
  EXPECT_FALSE(deliver("hostx=p addr=2 time=1 numifs=0\n"));
  EXPECT_FALSE(deliver("tokenR=p addr=2 time=1 numifs=0\n"));
  EXPECT_EQ(numhosts, 1);

  // Signed, but this server has no secret: stored untrusted, trailer cut.
  EXPECT_TRUE(deliver("host=p addr=2 time=1 numifs=0 flags=4\n#sig=" +
                      std::string(40, '0') + "\n"));
  ASSERT_EQ(numhosts, 2);
  EXPECT_STREQ(hostList[1]->name, "p");
  EXPECT_EQ(hostList[1]->flags, 0);

  deliver(std::string(1600, 'x'));
  EXPECT_EQ(strlen(inbuf), 1499u);
  resetGroupState();
}

// ---- groupManager, run in a child with a fake clock and wait -------------

// What one run expects; the child's exit code holds a bit per failed check.
struct run {
  int advance[3];   // seconds the clock moves during each wait
  int timeout[3];   // the wait each poll must be asked for, ms
  uint32_t group;   // mcAddr
  int period;       // myhost.period
  int flags;        // TRUSTED / LAN_OK part of myhost.flags
};
run expected;
time_t fakeNow;
const time_t kStart = 1100000000;
int polls;
int failures;

time_t fakeClock(void) { return fakeNow; }

int fakePoll(struct pollfd *, nfds_t nfds, int timeout) {
  if (nfds != 0) failures |= 1;
  if (timeout != expected.timeout[polls]) failures |= 2 << polls;
  fakeNow += expected.advance[polls];
  if (++polls < 3) return 0;
  if (mcAddr.sin_family != AF_INET || mcAddr.sin_port != htons(7009) ||
      mcAddr.sin_addr.s_addr != expected.group)
    failures |= 16;
  if (hostList[0] != &myhost || numhosts != 1 || hostList[1] != nullptr)
    failures |= 32;
  if (myhost.period != expected.period || myhost.starttime != kStart ||
      myhost.timeoff != 0 || (myhost.flags & (TRUSTED | LAN_OK)) != expected.flags)
    failures |= 64;
  _exit(failures);
}

// Runs groupManager in a child; the result is the child's failure bits, or
// 255 when start-up returned.
int runManager(gm_params p) {
  pid_t pid = fork();
  if (pid == 0) {
    int null = open("/dev/null", O_RDWR);
    dup2(null, 2);
    mcast_fd = bcast_fd = -1;  // no socket for the refresh to touch
    fakeNow = kStart;
    gmSys.now = fakeClock;
    gmSys.poll = fakePoll;
    char err[128] = "";
    groupManager(p, err);
    _exit(255);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool hostnameInHostsFile() {
  char name[64] = "";
  if (gethostname(name, sizeof name) != 0) return false;
  std::ifstream hosts("/etc/hosts");
  std::string line;
  while (std::getline(hosts, line)) {
    std::istringstream words(line);
    std::string w;
    words >> w;
    while (words >> w)
      if (w == name) return true;
  }
  return false;
}

TEST(GroupManager, StartsUpAndWaitsForTheRestOfTheInterval) {
  if (!hostnameInHostsFile()) GTEST_SKIP() << "host name not in /etc/hosts";
  resetGroupState();
  gm_params p = {};
  p.gmport = 7009;
  p.keepAliveInterval = 20;
  p.LANallowed = 1;
  p.use_multicast = 1;
  p.mcaddr = "10.1.2.3";  // not a multicast group: the default is used
  p.sigfile = "";
  // Woken 15 s into the interval, the next wait is the 5 s left.
  expected = {{15, 5, 0}, {20000, 5000, 20000}, ip("224.101.101.101"), 20,
              TRUSTED | LAN_OK};
  EXPECT_EQ(runManager(p), 0);

  // An interval below 1 s is kept as 1 s; a multicast group is taken as is.
  p.keepAliveInterval = 0;
  p.LANallowed = 0;
  p.mcaddr = "239.1.2.3";
  expected = {{1, 0, 0}, {1000, 1000, 1000}, ip("239.1.2.3"), 1, TRUSTED};
  EXPECT_EQ(runManager(p), 0);
}

}  // namespace
