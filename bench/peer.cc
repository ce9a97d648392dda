// peer.cc - the library's side of peers.sh. As a server it runs the manager
// loop as a server does (groupManager: refresh, announcements, table and
// answers); as a responder it is a group member reduced to its answers: the
// group socket and the manager's receive path (handleGroupMessage), nothing
// else. As a client it runs token lookups of the library (collectSessions)
// over a group of live members and the bare lookup (bare.c) over their bare
// twins, alternately, and prints the median and the mean of both.
//
//   gm_peer serve PORT [SECRET-FILE]
//   gm_peer respond PORT [SECRET-FILE]
//   gm_peer lookup LIBPORT BAREPORT FIRST-ADDRESS MEMBERS COUNT [SECRET-FILE]
//
// The members of a lookup are MEMBERS consecutive addresses from
// FIRST-ADDRESS on; every one of them runs a library responder on LIBPORT
// and a bare one on BAREPORT. serve runs only where a server would: in a
// testbed server's namespaces, which it announces itself to.
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "bare.h"
#include "inside.h"
#include "placement/placement.h"

namespace {

int usage() {
  fprintf(stderr,
          "usage: gm_peer serve PORT [SECRET-FILE]\n"
          "       gm_peer respond PORT [SECRET-FILE]\n"
          "       gm_peer lookup LIBPORT BAREPORT FIRST-ADDRESS MEMBERS COUNT [SECRET-FILE]\n");
  return 2;
}

// The manager loop as a server runs it (groupManager: the refresh, the
// announcements to the group, the table and the answers), with the settings'
// defaults, group port PORT and the secret, if any.
int serve(int port, const char *secret) {
  if (!insideTestbedServer()) {
    fprintf(stderr, "gm_peer: serve runs only inside a testbed server (it sends to the group)\n");
    return 2;
  }
  gm_params p{};
  p.gmport = port;
  p.keepAliveInterval = 20;
  p.enableGM = 1;
  p.use_multicast = 1;
  p.mcaddr = "224.101.101.101";
  p.mcTTL = 1;
  p.sigfile = secret != nullptr ? secret : "";
  char err[128] = "";
  groupManager(p, err);
  fprintf(stderr, "gm_peer: %s\n", err);
  return 1;
}

int respond(int port, const char *secret) {
  params.gmport = port;
  if (secret != nullptr) initSignature(secret);
  int fd = udp_open(0, port);
  if (fd < 0) return 1;
  for (;;) handleGroupMessage(fd);
}

// The group table of a lookup from FIRST-ADDRESS on: every member trusted,
// one interface, heard just now. Slot 0 is the local host's record, as in a
// server, although this process answers nothing itself.
void buildTable(uint32_t first, int members) {
  time_t now = time(nullptr);
  ZV_MUTEX_LOCK(&gmLock);
  for (int i = 0; i < members; i++) {
    host *h = i == 0 ? &myhost : (host *)calloc(1, sizeof(host));
    memset(h, 0, sizeof *h);
    snprintf(h->name, sizeof h->name, "member%d", i + 1);
    h->flags = TRUSTED;
    h->period = 20;
    h->numifs = 1;
    h->hostifs = (interface *)calloc(1, sizeof(interface));
    interface *ifp = h->hostifs;
    snprintf(ifp->name, sizeof ifp->name, "eth0");
    ifp->lastpkt = now;
    ifp->myAddr.sin_family = AF_INET;
    ifp->myAddr.sin_addr.s_addr = htonl(ntohl(first) + (uint32_t)i);
    ifp->netmask.sin_addr.s_addr = htonl(0xffffff00u);
    h->hostAddr = ifp->myAddr.sin_addr;
    h->load = -1.0f;
    h->sessions = h->idles = -1;
    hostList[i] = h;
  }
  numhosts = members;
  ZV_MUTEX_UNLOCK(&gmLock);
}

// Members whose interface answered the last lookup.
int answered(int members) {
  int n = 0;
  ZV_MUTEX_LOCK(&gmLock);
  for (int i = 0; i < members; i++) n += hostList[i]->hostifs[0].tqTimedout == 0;
  ZV_MUTEX_UNLOCK(&gmLock);
  return n;
}

double clockUs(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double mean(const std::vector<double> &v) {
  double s = 0;
  for (double x : v) s += x;
  return v.empty() ? 0 : s / (double)v.size();
}

int lookup(int libPort, int barePort, uint32_t first, int members, int count,
           const char *secret) {
  if (members < 1 || members > MAXHOSTS || count < 1) return usage();
  params.gmport = libPort;
  if (secret != nullptr) {
    initSignature(secret);
    if (!signatureLoaded()) return 1;
  }
  buildTable(first, members);
  std::vector<uint32_t> addrs;
  for (int i = 0; i < members; i++) addrs.push_back(htonl(ntohl(first) + (uint32_t)i));

  std::vector<double> libWall, bareWall, libCpu, bareCpu;
  int libShort = 0, bareShort = 0;
  char list[GM_LISTBUF];
  auto lib = [&](bool keep) {
    list[0] = '\0';
    uint32_t target = 0;
    double w = clockUs(CLOCK_MONOTONIC), c = clockUs(CLOCK_THREAD_CPUTIME_ID);
    collectSessions("c-bench", "i-bench", "", 5, &target, list, sizeof list);
    double c1 = clockUs(CLOCK_THREAD_CPUTIME_ID), w1 = clockUs(CLOCK_MONOTONIC);
    if (!keep) return;
    libWall.push_back(w1 - w);
    libCpu.push_back(c1 - c);
    if (answered(members) != members) libShort++;
  };
  auto bare = [&](bool keep) {
    uint32_t target = 0;
    double w = clockUs(CLOCK_MONOTONIC), c = clockUs(CLOCK_THREAD_CPUTIME_ID);
    int got = bare_lookup(addrs.data(), members, barePort, "c-bench", "i-bench", &target);
    double c1 = clockUs(CLOCK_THREAD_CPUTIME_ID), w1 = clockUs(CLOCK_MONOTONIC);
    if (!keep) return;
    bareWall.push_back(w1 - w);
    bareCpu.push_back(c1 - c);
    if (got != members) bareShort++;
  };
  for (int i = 0; i < 5; i++) {  // both sides warm
    lib(false);
    bare(false);
  }
  for (int i = 0; i < count; i++) {
    if (i % 2 == 0) {
      lib(true);
      bare(true);
    } else {
      bare(true);
      lib(true);
    }
  }
  printf("members=%d lookups=%d lib_us=%.1f bare_us=%.1f lib_mean_us=%.1f bare_mean_us=%.1f "
         "lib_client_cpu_us=%.1f bare_client_cpu_us=%.1f lib_short=%d bare_short=%d\n",
         members, count, median(libWall), median(bareWall), mean(libWall), mean(bareWall),
         median(libCpu), median(bareCpu), libShort, bareShort);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc >= 3 && strcmp(argv[1], "respond") == 0 && argc <= 4)
    return respond(atoi(argv[2]), argc == 4 ? argv[3] : nullptr);
  if (argc >= 3 && strcmp(argv[1], "serve") == 0 && argc <= 4)
    return serve(atoi(argv[2]), argc == 4 ? argv[3] : nullptr);
  if (argc >= 7 && strcmp(argv[1], "lookup") == 0 && argc <= 8) {
    in_addr first;
    if (inet_aton(argv[4], &first) == 0) return usage();
    return lookup(atoi(argv[2]), atoi(argv[3]), first.s_addr, atoi(argv[5]), atoi(argv[6]),
                  argc == 8 ? argv[7] : nullptr);
  }
  return usage();
}
