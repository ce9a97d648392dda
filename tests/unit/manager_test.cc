// manager_test.cc - the manager loop: dispatch of one datagram by its first
// word, the receive path that hands queued datagrams on from inbuf, the
// receive limit, and the start-up record, the line for a host name on
// loopback and the wait timing of groupManager with group networking off.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"

namespace {

// ---- The receive path the loop runs ----------------------------------------

// What the probe route was handed, each time.
struct Handed {
  const char *buf;
  std::string bytes;  // as many bytes from buf as the size handed says
  bool ended;         // the byte behind them is the NUL
};
std::vector<Handed> handed;
void probe(int, sockaddr_in *, char *msgbuf, int size, int) {
  handed.push_back({msgbuf, std::string(msgbuf, (size_t)std::max(size, 0)), msgbuf[size] == '\0'});
}
const gm_route probeRoute[] = {{"probe=", probe}};

// A group socket gs on loopback, a peer that sends to it, and the probe
// route in place.
class ReceivePath : public GroupTest {
 protected:
  ReceivePath() { setGroupRoutes(probeRoute, 1), handed.clear(); }
  ~ReceivePath() override { setGroupRoutes(nullptr, 0), close(gs), close(peer); }
  sockaddr_in a;
  int gs = loopbackSocket(SOCK_DGRAM, &a), peer = loopbackSocket();
};

// More datagrams than one receive takes, of lengths that go up and down and
// past the receive limit, each with bytes of its own: every one reaches its
// route from inbuf, whole up to 1499 bytes, with the length received. An
// announcement goes to its handler whatever the routes, one whose first word
// no route names goes nowhere.
TEST_F(ReceivePath, EveryDatagramReachesItsRouteInInbufWithItsLength) {
  addHost("here", "10.0.0.1", 0);
  int room = 1 << 20;
  setsockopt(gs, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  const size_t lengths[] = {1500, 9, 1499, 300, 4000, 1498, 7, 1200};
  std::vector<std::string> sent;
  auto send = [&](const std::string &t) {
    ASSERT_EQ(sendto(peer, t.data(), t.size(), 0, (sockaddr *)&a, sizeof a), (ssize_t)t.size());
  };
  for (int i = 0; i < 36; i++) {
    std::string t = "probe=" + std::to_string(i) + " ";
    t.resize(lengths[i % 8], (char)('a' + i % 26));
    sent.push_back(t), send(t);
  }
  // Signed, but this server has no secret: stored untrusted, trailer cut.
  for (const std::string &t : std::vector<std::string>{"hostx=q addr=2 time=1 numifs=0\n", "tokenR=q addr=2 time=1 numifs=0\n",
                                                                  "host=p addr=2 time=1 numifs=0 flags=4\n#sig=" + std::string(40, '0') + "\n"})
    send(t);
  // A blocking socket: each call takes what is queued without waiting for more.
  for (pollfd p = {gs, POLLIN, 0}; poll(&p, 1, 0) > 0;) handleGroupMessage(gs);
  ASSERT_EQ(handed.size(), sent.size());
  for (size_t i = 0; i < sent.size(); i++) {
    std::string want = sent[i].substr(0, GM_BUFSIZE - 1);
    EXPECT_EQ(handed[i].buf, inbuf) << i;
    EXPECT_TRUE(handed[i].bytes == want && handed[i].ended) << i << ": " << handed[i].bytes.substr(0, 40);
  }
  ASSERT_EQ(numhosts, 2);
  EXPECT_EQ(hostList[1]->flags, 0);
  EXPECT_EQ(received(peer, 0).size(), 1u);  // the first-time reply, to the sender, and no other
}

// The loop's wait on a blocking group socket: a datagram that comes during
// the wait is handled at once (the receive waits for the first datagram,
// never for more); without one the wait ends at its time-out, and a
// time-out of 0 does not wait at all.
TEST_F(ReceivePath, TheLoopsWaitEndsWithADatagramOrItsTimeout) {
  int armed = -1;
  pollfd p = {gs, POLLIN, 0};
  auto waited = [&](int timeout, int want) {
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(waitOnGroupSocket(&p, timeout, &armed), want);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  };
  double t = waited(300, 0);
  EXPECT_TRUE(t > 0.25 && t < 3) << t;
  EXPECT_LT(waited(0, 0), 0.2);
  std::thread late([&] { usleep(100 * 1000), sendto(peer, "probe=1", 7, 0, (sockaddr *)&a, sizeof a); });
  t = waited(20000, 1);
  late.join();
  EXPECT_LT(t, 10) << "the datagram did not end the wait";
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].bytes, "probe=1");
  EXPECT_EQ(handed[0].buf, inbuf);
  t = waited(300, 0);  // the same time-out again
  EXPECT_TRUE(t > 0.25 && t < 3) << t;
}

// ---- groupManager, run in a child with a fake clock and wait -------------

const time_t kStart = 1100000000;
std::vector<int> advance;  // seconds the clock moves during each wait
std::string seen;          // the child's record of the waits and the state
int report = -1;           // the pipe the child writes seen into
int polls;

int fakePoll(struct pollfd *, nfds_t nfds, int timeout) {
  seen += std::to_string(nfds) + "/" + std::to_string(timeout) + " ", fakeNow += advance[polls];
  if (++polls < 3) return 0;
  char s[160];
  snprintf(s, sizeof s, "group=%x:%d hosts=%d,%d period=%d start=%ld off=%d flags=%x",
           ntohl(mcAddr.sin_addr.s_addr), ntohs(mcAddr.sin_port), numhosts,
           hostList[0] == &myhost, myhost.period, (long)(myhost.starttime - kStart),
           myhost.timeoff, myhost.flags & (TRUSTED | LAN_OK));
  seen += s;
  _exit(write(report, seen.data(), seen.size()) > 0 ? 0 : 1);
}

size_t count(const std::string &text, const std::string &what) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) n++;
  return n;
}

// Runs groupManager in a child until its third wait, on host zvhost whose
// name resolves to addr from a hosts file of its own (start-up resolves it).
// Returns what it saw, then how often its log says that zvhost resolves to
// loopback and how often it names loopback at all; "SKIP: why" when it
// cannot run here.
std::string runManager(const std::string &addr, gm_params p, std::vector<int> moves) {
  TempDir etc;
  std::string log = etc.path + "/log";
  int fds[2];
  if (pipe(fds) != 0) return "no pipe";
  pid_t pid = fork();
  if (pid == 0) {
    std::string why = ownHostsFile(etc, addr + " zvhost\n", "zvhost");
    if (!why.empty()) _exit(write(fds[1], ("SKIP: " + why).data(), why.size() + 6) > 0 ? 77 : 78);
    mcast_fd = bcast_fd = -1, dup2(open(log.c_str(), O_WRONLY | O_CREAT, 0600), 2);  // no socket for the refresh to touch
    resetGroupState();
    fakeNow = kStart, gmSys = {fakeClock, fakePoll}, advance = moves, report = fds[1];
    char err[128] = "";
    groupManager(p, err), _exit(255);
  }
  close(fds[1]);
  std::string seen = slurp("/dev/fd/" + std::to_string(fds[0])), said = slurp(log);
  close(fds[0]), waitpid(pid, nullptr, 0);
  const std::string line = "zvhost resolves to the loopback address 127.0.1.1, which this server announces as its "
                           "own: sessions placed on it from routed networks go nowhere; give zvhost its LAN "
                           "address in /etc/hosts\n";
  return seen.rfind("SKIP: ", 0) == 0 ? seen : seen + " loopback=" + std::to_string(count(said, line)) + "/" +
                                                   std::to_string(count(said, "loopback"));
}

TEST(GroupManager, StartsUpSaysALoopbackNameOnceAndWaitsForTheRestOfTheInterval) {
  // 10.1.2.3 is not a multicast group: the default is used.
  // Woken 15 s into the interval, the next wait is the 5 s left. An interval
  // below 1 s is kept as 1 s; a multicast group is taken as is. A clock
  // stepped back 100 s refreshes at once instead of 100 s late. A name on
  // loopback is said once, at start-up, whatever the refreshes after it; no
  // other address is.
  for (auto [addr, interval, lan, group, moves, want] :
       {std::tuple<const char *, int, int, const char *, std::vector<int>, std::string>{
            "127.0.1.1", 20, 1, "10.1.2.3", {15, 5, 0},
            "0/20000 0/5000 0/20000 group=e0656565:7009 hosts=1,1 period=20 start=0 off=0 flags=6 loopback=1/1"},
        {"198.51.100.7", 0, 0, "239.1.2.3", {1, 0, 0},
         "0/1000 0/1000 0/1000 group=ef010203:7009 hosts=1,1 period=1 start=0 off=0 flags=4 loopback=0/0"},
        {"127.0.1.1", 20, 0, "239.1.2.3", {-100, 0, 0},
         "0/20000 0/20000 0/20000 group=ef010203:7009 hosts=1,1 period=20 start=0 off=0 flags=4 loopback=1/1"}}) {
    std::string got = runManager(addr, {.gmport = 7009, .keepAliveInterval = interval, .LANallowed = lan, .enableGM = 0,
                                        .use_multicast = 1, .mcaddr = group, .mcTTL = 0, .use_lb = 0, .debug = 0,
                                        .sigfile = ""}, moves);
    if (got.rfind("SKIP: ", 0) == 0) GTEST_SKIP() << got.substr(6);
    EXPECT_EQ(got, want) << addr;
  }
}

}  // namespace
