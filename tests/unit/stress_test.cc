// stress_test.cc - the manager running on a thread of its own with group
// networking off, its loop fed over loopback as the group socket would feed
// it, peers announcing, and every operation behind the natives called from
// eight threads at once. Built with ThreadSanitizer, any data race fails it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "testutil.h"

namespace {

using namespace std::chrono_literals;

// Loopback socket standing in for the group socket: queries and
// announcements are sent to it, the manager's wait reads from it.
int groupSock = -1;
sockaddr_in groupAddr;
thread_local bool onManager = false;
// The clock jumps past the start-up grace once the manager waits, so that
// the lookups need not wait 20 s.
std::atomic<int> clockOffset{0};
std::atomic<bool> managerUp{false}, managerFailed{false}, parkWanted{false}, parked{false};

time_t testClock() { return time(nullptr) + clockOffset.load(std::memory_order_relaxed); }

int testPoll(pollfd *fds, nfds_t n, int timeout) {
  if (!onManager) return poll(fds, n, timeout);
  if (parkWanted.load()) {  // the manager loop never returns: it stops here for good
    parked.store(true);
    for (;;) pause();
  }
  clockOffset.store(30, std::memory_order_relaxed);
  managerUp.store(true);
  // What the loop does with group networking on: what is queued, a batch per
  // wake-up, through the same receive path.
  pollfd p = {groupSock, POLLIN, 0};
  if (poll(&p, 1, timeout < 20 ? timeout : 20) > 0) handleGroupMessage(groupSock);
  return 0;
}

// The interface list alternates between one and two records, so that every
// refresh installs a new array (and runs the tool) while the readers run;
// the port is the manager's (params.gmport), the group socket's.
interface *loopbackIfs(int *n) {
  static int calls;  // manager thread only
  interface two[] = {makeIf("lo", "127.0.0.1", "255.0.0.0"), makeIf("lo:1", "127.0.0.1", "255.255.0.0")};
  return *n = 1 + calls++ % 2, (interface *)memcpy(malloc(sizeof two), two, sizeof two);
}

class LoopbackGroup : public GroupTest {
 protected:
  void SetUp() override {
    // Once per process: the manager, parked between tests, keeps its name.
    static TempDir etc;
    static const std::string why = ownHostsFile(etc, "127.0.0.1 localhost zvstress\n", "zvstress");
    if (!why.empty()) GTEST_SKIP() << why;
    // A manager parked by an earlier test of this process stays parked.
    clockOffset = 0, managerUp = false, managerFailed = false, parkWanted = false, parked = false;
    groupSock = loopbackSocket(SOCK_DGRAM, &groupAddr);
    peer_ = loopbackSocket();
    useSessionDirs();
    put(ctok + "/c#1", "DISPLAY=7\n");  // a session under a token with a '#'
    useTool(tmp, "");                        // every interface a LAN one
    gmSys = {testClock, testPoll}, gmReadIfs = loopbackIfs;

    std::thread([p = gm_params{.gmport = ntohs(groupAddr.sin_port), .keepAliveInterval = 1, .LANallowed = 1, .enableGM = 0,
                               .use_multicast = 0, .mcaddr = "", .mcTTL = 0, .use_lb = 1, .debug = 0, .sigfile = ""}] {
      char err[128] = "";
      onManager = true, groupManager(p, err);  // returns only when start-up fails
      managerFailed.store(true);
    }).detach();
    while (!managerUp.load() && !managerFailed.load()) std::this_thread::sleep_for(1ms);
    ASSERT_FALSE(managerFailed.load());
    for (int k = 0; k < kPeers; k++) announce(k, 0);
    for (int i = 0; i < 2000 && groupNumHosts() < 1 + kPeers; i++) std::this_thread::sleep_for(1ms);
    ASSERT_EQ(groupNumHosts(), 1 + kPeers);
  }
  void TearDown() override {
    if (groupSock < 0 || managerFailed.load()) return;
    parkWanted.store(true);
    while (!parked.load()) std::this_thread::sleep_for(1ms);  // then the state is ours alone
    close(peer_), close(groupSock), groupSock = -1;
  }
  // Peer k's announcement; every interface is on 127.0.0.1, where the
  // manager answers queries itself.
  void announce(int k, int round) {
    char a[512];
    snprintf(a, sizeof a, "host=p%d addr=7f000001 time=%ld numifs=%d flags=3 cpus=%d clock=1000 period=20 "
             "starttime=1 load=%d.5\ninterface=lo ip=7f000001 mask=ff000000 bcast=7fffffff flags=1\n%ssessions=%d idles=1\n",
             k, (long)testClock(), 1 + round % 2, 1 + k, round % 5,
             round % 2 ? "interface=lo:1 ip=7f000001 mask=ffff0000 bcast=7f00ffff flags=0\n" : "", round % 7);
    sendto(peer_, a, strlen(a), 0, (sockaddr *)&groupAddr, sizeof groupAddr);
  }
  static constexpr int kPeers = 8;
  int peer_ = -1;
};

TEST_F(LoopbackGroup, EveryOperationFromEightThreadsWhilePeersAnnounce) {
  {  // first alone: an id that would split the pair is refused unasked
    char out[64];
    LogCapture quiet;
    EXPECT_EQ(whichServer("c t", "", "127.0.0.5", "", out), -1);  // a blank would split the pair
  }
  std::atomic<bool> stop{false};
  std::atomic<int> rounds{0}, bad{0}, found{0};
  auto check = [&](bool ok) { bad += !ok; };
  auto worker = [&](int t) {
    char buf[512];
    while (!stop.load()) {
      check(whichServer(t % 2 ? "c#1" : "none", "i1", "127.0.0.5", "", buf) == 0);
      check(whichServer("", "", "127.0.0.5", t % 3 ? "p3" : "127.0.0.1", buf) == 0 &&
            contains(buf, ":true:"));
      check(findPrimary("tty\xc3\xa9#1", "127.0.0.5", nullptr, buf) == 0);
      int n = groupNumHosts();
      check(n == 1 + kPeers);
      for (int k = 0; k < n; k++) {
        check((groupHostLine(k, buf), strncmp(buf, "host ", 5) == 0));  // the table never shrinks
        check((groupLoadLine(k, buf), strncmp(buf, "sessions ", 9) == 0));
        for (int j = 0, m = groupNumIfs(k); j < m; j++) groupIntfLine(k, j, buf);
      }
      char *list = sessionList("c#1", "i1", "127.0.0.5");
      check(list != nullptr);
      // The session under "c#1": '#' alone starts no trailer. (Unless every
      // reply was lost.)
      found += list != nullptr && contains(list, " 7 ");
      free(list);
      check(isNetworkAllowed(0x7f000005) == 0);  // on a LAN interface
      rounds++;
    }
  };
  LogCapture quiet;  // replies lost to a full socket buffer are logged as time-outs
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; t++) threads.emplace_back(worker, t);
  auto end = std::chrono::steady_clock::now() + 2s;
  for (int round = 1; std::chrono::steady_clock::now() < end; round++) {
    announce(round % kPeers, round);
    std::this_thread::sleep_for(2ms);
  }
  stop = true;
  for (std::thread &t : threads) t.join();
  EXPECT_TRUE(rounds >= 8 && found > 0 && bad == 0) << rounds << " rounds, " << found << " found, " << bad << " bad";
}

}  // namespace
