// state.cc - the process-wide state of the one group manager of a process and
// the lookups over its group table.
#include <string.h>

#include "group/group.h"

extern "C" {

gm_params params;
host *hostList[GM_HOSTSLOTS];
int numhosts;
host myhost;
int bcast_fd;
int mcast_fd;
struct sockaddr_in mcAddr;

char inbuf[GM_BUFSIZE];
char bcastbuf[GM_BUFSIZE];
ZV_MUTEX_T gmLock = ZV_MUTEX_INITIALIZER;
ZV_MUTEX_T sigLock = ZV_MUTEX_INITIALIZER;
void *GMenv;
gm_sessdirs gmSessionDirs = {GM_CTOKENS, GM_ITOKENS, GM_DISPLAYS, GM_IDLE};

int onSubnet(const interface *ifp, uint32_t target) {
  uint32_t mask = ifp->netmask.sin_addr.s_addr;
  return (ifp->myAddr.sin_addr.s_addr & mask) == (target & mask);
}

int heardRecently(const host *h, const interface *ifp, time_t now) {
  return now - ifp->lastpkt <= 3 * (time_t)h->period;
}

host **findHostbyName(const char *name) {
  for (int i = 0; i < numhosts && i < GM_HOSTSLOTS; i++)
    if (hostList[i] != nullptr && strcmp(hostList[i]->name, name) == 0)
      return &hostList[i];
  return nullptr;
}

host *findHostbyAddr(struct in_addr addr) {
  for (int i = 0; i < GM_HOSTSLOTS && hostList[i] != nullptr; i++) {
    host *h = hostList[i];
    if (h->hostAddr.s_addr == addr.s_addr) return h;
    for (int j = 0; j < h->numifs; j++)
      if (h->hostifs[j].myAddr.sin_addr.s_addr == addr.s_addr) return h;
  }
  return nullptr;
}

uint32_t matchHostSubnet(host *h, uint32_t target) {
  time_t now = gmSys.now();
  for (int j = 0; j < h->numifs; j++) {
    interface *ifp = &h->hostifs[j];
    if (heardRecently(h, ifp, now) && onSubnet(ifp, target))
      return ifp->myAddr.sin_addr.s_addr;
  }
  return 0;
}

int isOnLAN(host *h, uint32_t target) {
  for (int j = 0; j < h->numifs; j++)
    if (onSubnet(&h->hostifs[j], target)) return h->hostifs[j].flags & LAN;
  return 1;
}

int isHere(uint32_t target) {
  int here = 0;
  ZV_MUTEX_LOCK(&gmLock);
  for (int j = 0; j < myhost.numifs; j++)
    if (myhost.hostifs[j].myAddr.sin_addr.s_addr == target) here = 1;
  ZV_MUTEX_UNLOCK(&gmLock);
  return here;
}

int numIfsOnSubnet(host *h, uint32_t target) {
  if (target == 0) return h->numifs;
  int n = 0;
  for (int j = 0; j < h->numifs; j++)
    if (onSubnet(&h->hostifs[j], target)) n++;
  return n > 0 ? n : 1;
}

}  // extern "C"
