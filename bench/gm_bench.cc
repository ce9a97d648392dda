// gm_bench.cc - speed figures of the placement path: how many token queries
// the responder answers per second, and how long a token lookup takes when
// every member of the group answers. All traffic stays on 127.0.0.0/8.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "placement/placement.h"
#include "placement/query_engine.h"

namespace {

// A UDP socket bound to 127.0.0.x:port (port 0: any); -1 on failure.
int loopSocket(uint32_t lastOctet, uint16_t port, struct sockaddr_in *bound) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(0x7f000000u | lastOctet);
  a.sin_port = htons(port);
  if (bind(fd, (struct sockaddr *)&a, sizeof a) < 0) {
    close(fd);
    return -1;
  }
  socklen_t len = sizeof a;
  getsockname(fd, (struct sockaddr *)&a, &len);
  if (bound != nullptr) *bound = a;
  return fd;
}

// The log goes to /dev/null while a benchmark runs: the responder reports
// the missing session-count directories on every query, and a lookup reports
// its time-outs. The write itself is still paid, as in the daemon.
struct QuietLog {
  int saved = dup(2);
  QuietLog() {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, 2);
      close(null);
    }
  }
  ~QuietLog() {
    dup2(saved, 2);
    close(saved);
  }
};

// A private copy of the session directories holding one token file.
std::string makeSessionDirs() {
  char tmpl[] = "/tmp/gm-bench-XXXXXX";
  std::string root = mkdtemp(tmpl);
  for (const char *d : {"/ctokens", "/itokens", "/displays", "/idle"})
    mkdir((root + d).c_str(), 0700);
  FILE *f = fopen((root + "/ctokens/ct1").c_str(), "w");
  if (f != nullptr) {
    fputs("USER=bench\nDISPLAY=7\n", f);
    fclose(f);
  }
  return root;
}

void removeSessionDirs(const std::string &root) {
  unlink((root + "/ctokens/ct1").c_str());
  for (const char *d : {"/ctokens", "/itokens", "/displays", "/idle", ""})
    rmdir((root + d).c_str());
}

// (1) The responder: one tokenQ datagram in, one tokenR datagram out.
// Argument 1: the token has a session file; 0: the file is missing.
void BM_TokenResponder(benchmark::State &state) {
  std::string root = makeSessionDirs();
  std::string ct = root + "/ctokens", it = root + "/itokens",
              disp = root + "/displays", idle = root + "/idle";
  gm_sessdirs saved = gmSessionDirs;
  gmSessionDirs = {ct.c_str(), it.c_str(), disp.c_str(), idle.c_str()};

  struct sockaddr_in from;
  int resp = loopSocket(1, 0, nullptr);
  int client = loopSocket(1, 0, &from);
  if (resp < 0 || client < 0) {
    state.SkipWithError("no loopback socket");
    return;
  }
  const char *query = state.range(0) ? "tokenQ=it1 at=100007f hostix=0 ctoken=ct1\n"
                                     : "tokenQ=it1 at=100007f hostix=0 ctoken=nope\n";
  size_t qlen = strlen(query);
  char reply[GM_TOKENR_BUF];
  QuietLog quiet;
  for (auto _ : state) {
    memcpy(inbuf, query, qlen + 1);
    tokenQMessage(resp, &from, inbuf, (int)qlen, 0);
    ssize_t n = recv(client, reply, sizeof reply, 0);
    benchmark::DoNotOptimize(n);
  }
  state.counters["answers_per_s"] =
      benchmark::Counter((double)state.iterations(), benchmark::Counter::kIsRate);
  close(resp);
  close(client);
  gmSessionDirs = saved;
  removeSessionDirs(root);
}
BENCHMARK(BM_TokenResponder)->Arg(1)->Arg(0)->UseRealTime();

// Members that answer every token query at once, each on its own loopback
// address, all on one port, served by one thread.
struct FakeGroup {
  std::vector<int> fds;
  uint16_t port = 0;
  std::atomic<bool> stop{false};
  std::thread server;

  bool start(int members) {
    struct sockaddr_in a;
    int first = loopSocket(1, 0, &a);
    if (first < 0) return false;
    fds.push_back(first);
    port = ntohs(a.sin_port);
    for (int i = 1; i < members; i++) {
      int fd = loopSocket((uint32_t)(1 + i), port, nullptr);
      if (fd < 0) return false;
      fds.push_back(fd);
    }
    server = std::thread([this] { serve(); });
    return true;
  }

  void serve() {
    std::vector<struct pollfd> pfds(fds.size());
    for (size_t i = 0; i < fds.size(); i++) pfds[i] = {fds[i], POLLIN, 0};
    char in[512], out[GM_TOKENR_BUF];
    char *keys[GM_MAXPAIRS + 1];
    char *vals[GM_MAXPAIRS];
    while (!stop.load()) {
      if (poll(pfds.data(), pfds.size(), 50) <= 0) continue;
      for (auto &p : pfds) {
        if (!(p.revents & POLLIN)) continue;
        struct sockaddr_in from;
        socklen_t flen = sizeof from;
        ssize_t n = recvfrom(p.fd, in, sizeof in - 1, 0, (struct sockaddr *)&from, &flen);
        if (n <= 0) continue;
        in[n] = '\0';
        int np = mkKeyPairs(in, keys, vals, GM_MAXPAIRS);
        if (np < 1 || strcmp(keys[0], "tokenQ") != 0) continue;
        const char *at = "", *hostix = "", *ctoken = "";
        for (int k = 1; k < np; k++) {
          if (strcmp(keys[k], "at") == 0) at = vals[k];
          if (strcmp(keys[k], "hostix") == 0) hostix = vals[k];
          if (strcmp(keys[k], "ctoken") == 0) ctoken = vals[k];
        }
        int len = snprintf(out, sizeof out, GM_TOKENR_FMT, vals[0], at, hostix,
                           -1, -1, 0.5, 3, 1);
        if (len <= 0 || (size_t)len >= sizeof out) continue;
        snprintf(out + len - 1, sizeof out - (size_t)len + 1, GM_TOKENR_CTOKEN_FMT,
                 ctoken);
        sendto(p.fd, out, strlen(out), 0, (struct sockaddr *)&from, flen);
      }
    }
  }

  ~FakeGroup() {
    stop = true;
    if (server.joinable()) server.join();
    for (int fd : fds) close(fd);
  }
};

// The group table: this server on 127.0.0.1 and members - 1 peers on
// 127.0.0.2 and up, all trusted and heard just now.
void buildTable(int members) {
  time_t now = gmSys.now();
  auto setIf = [now](interface *ifp, uint32_t lastOctet) {
    memset(ifp, 0, sizeof *ifp);
    snprintf(ifp->name, sizeof ifp->name, "lo");
    ifp->lastpkt = now;
    ifp->myAddr.sin_family = AF_INET;
    ifp->myAddr.sin_addr.s_addr = htonl(0x7f000000u | lastOctet);
    ifp->myAddr.sin_port = htons((uint16_t)params.gmport);
    ifp->netmask.sin_addr.s_addr = htonl(0xff000000u);
  };
  ZV_MUTEX_LOCK(&gmLock);
  memset(&myhost, 0, sizeof myhost);
  snprintf(myhost.name, sizeof myhost.name, "bench0");
  myhost.flags = TRUSTED;
  myhost.period = 20;
  myhost.numifs = 1;
  myhost.hostifs = (interface *)malloc(sizeof(interface));
  setIf(myhost.hostifs, 1);
  myhost.hostAddr = myhost.hostifs[0].myAddr.sin_addr;
  hostList[0] = &myhost;
  for (int i = 1; i < members; i++) {
    host *h = (host *)calloc(1, sizeof(host));
    snprintf(h->name, sizeof h->name, "bench%d", i);
    h->flags = TRUSTED;
    h->period = 20;
    h->numifs = 1;
    h->hostifs = (interface *)malloc(sizeof(interface));
    setIf(h->hostifs, (uint32_t)(1 + i));
    h->hostAddr = h->hostifs[0].myAddr.sin_addr;
    h->load = -1.0f;
    h->sessions = h->idles = -1;
    hostList[i] = h;
  }
  numhosts = members;
  ZV_MUTEX_UNLOCK(&gmLock);
}

void clearTable() {
  ZV_MUTEX_LOCK(&gmLock);
  for (int i = 1; i < GM_HOSTSLOTS; i++) {
    if (hostList[i] == nullptr) continue;
    free(hostList[i]->hostifs);
    free(hostList[i]);
    hostList[i] = nullptr;
  }
  free(myhost.hostifs);
  memset(&myhost, 0, sizeof myhost);
  hostList[0] = nullptr;
  numhosts = 0;
  ZV_MUTEX_UNLOCK(&gmLock);
}

// (2) One token lookup over a group of range(0) members that all answer "no
// session"; the Time column gives the milliseconds per lookup.
void BM_TokenLookup(benchmark::State &state) {
  int members = (int)state.range(0);
  FakeGroup group;
  if (!group.start(members)) {
    state.SkipWithError("cannot bind the loopback members");
    return;
  }
  params.gmport = group.port;
  buildTable(members);
  char list[GM_LISTBUF];
  QuietLog quiet;
  for (auto _ : state) {
    list[0] = '\0';
    uint32_t target = 0;
    int rc = collectSessions("ct1", "it1", "", 5, &target, list, sizeof list);
    benchmark::DoNotOptimize(rc);
  }
  clearTable();
}
BENCHMARK(BM_TokenLookup)
    ->Arg(1)
    ->Arg(10)
    ->Arg(50)
    ->Arg(MAXHOSTS)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
