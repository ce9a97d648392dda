// choice.cc - the least-loaded choice: a weighted lottery over the eligible
// members of the group, each weighted by capacity over load, and the random
// numbers it draws with.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

#include "placement/placement.h"

namespace {

// No single weight may exceed this, so the sum over every slot of the table
// stays within 32 bits. Real capacities are far below it.
constexpr int64_t kMaxDesire = INT32_MAX / GM_HOSTSLOTS;

// The interface through which h would take a session from client, or null
// when h is not eligible.
interface *candidateOf(host *h, uint32_t client, time_t now) {
  interface *lanifp = nullptr;
  interface *cand = nullptr;
  int isup = 0;
  for (int j = 0; j < h->numifs; j++) {
    interface *ifp = &h->hostifs[j];
    if (ifp->myAddr.sin_addr.s_addr == h->hostAddr.s_addr) lanifp = ifp;
    if (heardRecently(h, ifp, now)) isup++;
    if (client == 0 || onSubnet(ifp, client)) {
      cand = ifp;
      break;
    }
  }
  if (cand != nullptr) {
    // A LAN interface counts however old it is; a silent interconnect
    // interface means the host cannot reach the terminal.
    if (!(cand->flags & LAN) && !heardRecently(h, cand, now)) return nullptr;
    if (cand->tqTimedout != 0) return nullptr;
  } else {
    if (isup == 0 || lanifp == nullptr) return nullptr;
    cand = lanifp;
  }
  if ((cand->flags & LAN) && !(h->flags & LAN_OK)) return nullptr;
  return cand;
}

// The load term in single precision, rounded after each step: the weights
// of the whole group depend on this exact rounding.
float loadTerm(const host *h) {
  volatile float l = h->load >= 0.0f ? h->load : 0.0f;
  if (h->idles >= 0 && h->sessions >= h->idles)
    l = (float)(0.5 * l + (h->sessions - h->idles / 2) / 20.0);
  l = (float)(l + 0.1);
  return l;
}

// Capacity over load, truncated. A negative capacity from a malformed
// announcement weighs 0; an absurd one is held at kMaxDesire.
int32_t desireOf(const host *h, float l) {
  if (h->numcpus <= 0 || h->meanclock <= 0) return 0;
  int64_t capacity = (int64_t)h->numcpus * (int64_t)h->meanclock;
  double q = (double)capacity / (double)l;
  if (!(q >= 0.0)) return 0;  // also catches NaN
  if (q >= (double)kMaxDesire) return (int32_t)kMaxDesire;
  return (int32_t)q;
}

}  // namespace

extern "C" {

int32_t (*gmRandom)(int32_t max) = getRandom;

uint32_t leastLoadedHost(struct in_addr client) {
  time_t now = gmSys.now();
  log_debug(1, "LeastLoadedHost called...\n");
  ZV_MUTEX_LOCK(&gmLock);

  for (int i = 0; i < GM_HOSTSLOTS && hostList[i] != nullptr; i++) {
    host *h = hostList[i];
    h->desire = 0;
    if ((h->flags & (TRUSTED | OFFLINE)) != TRUSTED) continue;
    h->useifp = nullptr;
    interface *cand = candidateOf(h, client.s_addr, now);
    if (cand == nullptr) continue;
    float l = loadTerm(h);
    h->desire = desireOf(h, l);
    h->useifp = cand;
    log_debug(1,
              "Host %s: %d cpus, mean clock = %d MHz, sessions %d idles %d l = "
              "%.1f, desire = %d\n",
              h->name, h->numcpus, h->meanclock, h->sessions, h->idles,
              (double)l, h->desire);
  }

  int32_t totaldesire = 0;
  for (int i = 0; i < GM_HOSTSLOTS && hostList[i] != nullptr; i++)
    totaldesire += hostList[i]->desire;
  if (totaldesire <= 0) {
    ZV_MUTEX_UNLOCK(&gmLock);
    return 0;
  }

  int32_t selection = gmRandom(totaldesire);
  int32_t sum = 0;
  host *winner = nullptr;
  for (int i = 0; i < GM_HOSTSLOTS && hostList[i] != nullptr; i++) {
    sum += hostList[i]->desire;
    if (selection < sum) {
      winner = hostList[i];
      break;
    }
  }
  if (winner == nullptr || winner->useifp == nullptr) {  // a draw out of range
    ZV_MUTEX_UNLOCK(&gmLock);
    return 0;
  }
  uint32_t addr = winner->useifp->myAddr.sin_addr.s_addr;
  char name[sizeof winner->name];
  memcpy(name, winner->name, sizeof name);
  name[sizeof name - 1] = '\0';
  ZV_MUTEX_UNLOCK(&gmLock);

  log_debug(1, "Winner is %s (%d/%d)\n", name, selection, totaldesire);
  return addr;
}

int32_t getRandom(int32_t max) {
  static int first = 1;
  if (first) {
    first = 0;
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    srand48(tv.tv_sec + tv.tv_usec);
  }
  if (max <= 0) return 0;
  return (int32_t)(lrand48() % max);
}

}  // extern "C"
