// status.cc - the daemon's view of the group: one text line per host, per
// interface and per host's load, the group's session list for a token, and
// the admission of a client network.
#include <arpa/inet.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "placement/placement.h"

namespace {

constexpr size_t kLineSize = 512;  // the caller's line buffer

// Host and load lines, and the lines of an interface, name records by index.
host *hostAt(int hostnum) {
  if (hostnum < 0 || hostnum >= numhosts || hostnum >= GM_HOSTSLOTS) return nullptr;
  return hostList[hostnum];
}

// Appends text to the line in buf, never past kLineSize.
void append(char *buf, const char *text) {
  size_t used = strnlen(buf, kLineSize - 1);
  snprintf(buf + used, kLineSize - used, "%s", text);
}

// Room for one list line per interface the lookup may ask, as the table is
// now; a table that grows meanwhile only loses lines, never overruns.
size_t sessionListSize(void) {
  size_t lines = 0;
  ZV_MUTEX_LOCK(&gmLock);
  for (int i = 0; i < GM_HOSTSLOTS && hostList[i] != nullptr; i++)
    lines += hostList[i]->numifs > 0 ? (size_t)hostList[i]->numifs : 1;
  int hosts = numhosts;
  ZV_MUTEX_UNLOCK(&gmLock);
  size_t perHost = (size_t)(hosts > 0 ? hosts : 1) * 114;
  size_t perLine = lines * (sizeof(((host *)nullptr)->name) + 27) + 1;
  return perHost > perLine ? perHost : perLine;
}

}  // namespace

extern "C" {

int groupNumHosts(void) {
  startDelay();
  // Without gmLock, as the daemon has always had the count: an atomic read,
  // against the manager's atomic store, gives the count before or after a
  // peer is added, never a torn one.
  return __atomic_load_n(&numhosts, __ATOMIC_RELAXED);
}

void groupHostLine(int hostnum, char *hostbuf) {
  ZV_MUTEX_LOCK(&gmLock);
  host *h = hostAt(hostnum);
  if (h == nullptr) {
    snprintf(hostbuf, kLineSize, "Hostnum out of range\n");
  } else {
    time_t now = gmSys.now();
    snprintf(hostbuf, kLineSize,
             "host %.64s lastseen %d timeoff %d addr %x numifs %d period %d "
             "starttime %d",
             h->name, (int32_t)(now - h->lastseen), h->timeoff,
             ntohl(h->hostAddr.s_addr), h->numifs, h->period,
             (int32_t)h->starttime);
    if (h->flags & ROUTER) append(hostbuf, " ROUTER");
    if (h->flags & LAN_OK) append(hostbuf, " LAN_OK");
    if (h->flags & TRUSTED) append(hostbuf, " TRUSTED");
    if (h->flags & OFFLINE) append(hostbuf, " OFFLINE");
    append(hostbuf, "\n");
  }
  ZV_MUTEX_UNLOCK(&gmLock);
}

void groupLoadLine(int hostnum, char *hostbuf) {
  ZV_MUTEX_LOCK(&gmLock);
  host *h = hostAt(hostnum);
  if (h == nullptr)
    snprintf(hostbuf, kLineSize, "Hostnum out of range\n");
  else
    snprintfC(hostbuf, kLineSize, "sessions %d idles %d load %.1f\n", h->sessions,
             h->idles, (double)h->load);
  ZV_MUTEX_UNLOCK(&gmLock);
}

int groupNumIfs(int hostnum) {
  ZV_MUTEX_LOCK(&gmLock);
  host *h = hostAt(hostnum);
  int n = h != nullptr ? h->numifs : 0;
  ZV_MUTEX_UNLOCK(&gmLock);
  return n;
}

void groupIntfLine(int hostnum, int intfnum, char *hostbuf) {
  time_t now = gmSys.now();
  ZV_MUTEX_LOCK(&gmLock);
  host *h = hostAt(hostnum);
  if (h == nullptr || intfnum < 0 || intfnum >= h->numifs) {
    snprintf(hostbuf, kLineSize, "Arguments out of range\n");
  } else {
    const interface *ifp = &h->hostifs[intfnum];
    int32_t age = ifp->lastpkt != 0 ? (int32_t)(now - ifp->lastpkt) : -1;
    snprintf(hostbuf, kLineSize, "interface %.16s ip %x mask %x bcast %x lastpkt %d",
             ifp->name, ntohl(ifp->myAddr.sin_addr.s_addr),
             ntohl(ifp->netmask.sin_addr.s_addr),
             ntohl(ifp->bcastAddr.sin_addr.s_addr), age);
    if (ifp->flags & LAN) append(hostbuf, " LAN");
    append(hostbuf, "\n");
  }
  ZV_MUTEX_UNLOCK(&gmLock);
}

char *sessionList(const char *ctoken, const char *itoken, const char *ip) {
  size_t size = sessionListSize();
  char *buf = (char *)malloc(size);
  if (buf == nullptr) {
    log_error(0, 0, "sessionList: malloc failed\n");
    return nullptr;
  }
  buf[0] = '\0';
  uint32_t target = 0;
  if (collectSessions(ctoken, itoken, ip, GM_LIST_PASSES, &target, buf,
                      size) < 0) {
    free(buf);
    return nullptr;
  }
  log_debug(1, "%s", buf);
  return buf;
}

int isNetworkAllowed(uint32_t ipa) {
  startDelay();
  uint32_t addr = htonl(ipa);
  int allowed = 0;
  ZV_MUTEX_LOCK(&gmLock);
  for (int j = 0; j < myhost.numifs; j++) {
    const interface *ifp = &myhost.hostifs[j];
    if (onSubnet(ifp, addr)) {
      allowed = (ifp->flags & LAN) ? 0 : 1;
      break;
    }
  }
  ZV_MUTEX_UNLOCK(&gmLock);
  return allowed;
}

}  // extern "C"
