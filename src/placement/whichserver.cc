// whichserver.cc - the server choice for a user's token: a forced server, the
// member that already holds the newest live session, or the least-loaded
// member, written as the answer text the daemon receives.
#include <arpa/inet.h>
#include <errno.h>
#include <inttypes.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "placement/placement.h"
#include "zvoscompat.h"

namespace {

constexpr size_t kAnswerSize = 27;          // "%x:%s:%ld" at its longest, and NUL
constexpr size_t kResolveFirst = 512;       // first scratch room of the resolver
constexpr size_t kResolveMax = 64 * 1024;   // beyond this a name is not resolved

// Resolves a name that no member carries through the system resolver.
// Returns 0 with *addr set (0 when the name did not resolve), -1 without
// memory. Runs under gmLock: the forced server must not change meanwhile.
int resolveName(const char *name, uint32_t *addr) {
  *addr = 0;
  size_t len = kResolveFirst;
  for (;;) {
    char *tmp = (char *)malloc(len);
    if (tmp == nullptr) {
      log_error(0, 0, "whichServer: malloc failed\n");
      return -1;
    }
    struct hostent he;
    struct hostent *res = nullptr;
    int herr = 0;
    int rc = _zv_os_gethostbyname_r(name, &he, tmp, len, &res, &herr);
    if (rc == ERANGE && len < kResolveMax) {
      free(tmp);
      len *= 2;
      continue;
    }
    if (rc == 0 && res != nullptr && res->h_addrtype == AF_INET &&
        res->h_length == 4 && res->h_addr_list != nullptr &&
        res->h_addr_list[0] != nullptr)
      memcpy(addr, res->h_addr_list[0], 4);
    free(tmp);
    return 0;
  }
}

// The address of the forced server as seen from client; sets *trusted when
// the forced server is a trusted member. Caller holds gmLock.
int resolveForce(const char *force, uint32_t client, uint32_t *target,
                 int *trusted) {
  host *member = nullptr;
  uint32_t forceip = inet_addr(force);
  if (forceip != INADDR_NONE) {
    member = findHostbyAddr(in_addr{forceip});
  } else {
    forceip = 0;
    host **slot = findHostbyName(force);
    if (slot != nullptr) {
      member = *slot;
    } else {
      if (resolveName(force, &forceip) < 0) return -1;
      if (forceip != 0) member = findHostbyAddr(in_addr{forceip});
    }
  }
  if (member == nullptr) {
    *target = forceip;
    return 0;
  }
  *target = matchHostSubnet(member, client);
  if (*target == 0 && isOnLAN(&myhost, client) && (member->flags & LAN_OK))
    *target = member->hostAddr.s_addr;
  if (member->flags & TRUSTED) *trusted = 1;
  return 0;
}

}  // namespace

extern "C" {

int whichServer(const char *ctoken, const char *itoken, const char *ip,
                const char *force, char *buf) {
  char listbuf[GM_LISTBUF];
  startDelay();
  buf[0] = '\0';
  listbuf[0] = '\0';
  int status = 0;
  uint32_t target = 0;
  int isTrusted = 0;
  bool forced = force[0] != '\0';

  uint32_t client = inet_addr(ip);

  ZV_MUTEX_LOCK(&gmLock);
  if (forced && resolveForce(force, client, &target, &isTrusted) < 0) {
    ZV_MUTEX_UNLOCK(&gmLock);
    return -1;
  }
  if (!forced) isTrusted = 1;
  uint32_t myadr = matchHostSubnet(&myhost, client);
  ZV_MUTEX_UNLOCK(&gmLock);

  if (ctoken[0] != '\0') {
    if (strnlen(ctoken, GM_TOKENMAX + 1) > GM_TOKENMAX ||
        strnlen(itoken, GM_TOKENMAX + 1) > GM_TOKENMAX) {
      log_error(0, 0, "whichServer: c/itoken too long %.64s/%.64s\n", ctoken,
                itoken);
      return -1;
    }
    status = collectSessions(ctoken, itoken, ip, GM_LOOKUP_PASSES, &target,
                             listbuf, sizeof listbuf);
  }

  if (!forced && target == 0 && params.use_lb == 1)
    target = leastLoadedHost(in_addr{client});

  if (target != 0 && (forced || !isHere(target))) {
    time_t now = gmSys.now();
    int32_t age = 0;
    ZV_MUTEX_LOCK(&gmLock);
    host *owner = findHostbyAddr(in_addr{target});
    if (owner != nullptr) age = (int32_t)(now - owner->lastseen);
    ZV_MUTEX_UNLOCK(&gmLock);
    snprintf(buf, kAnswerSize, "%x:%s:%" PRId32, ntohl(target),
             isTrusted ? "true" : "false", age);
  }

  if (params.debug != 0) {
    char tdot[16], mdot[16];
    toDottedDecimal(ntohl(target), tdot);
    toDottedDecimal(ntohl(myadr), mdot);
    log_debug(1, "target %s addr %s (%s)\n", tdot, mdot, buf);
    if (listbuf[0] != '\0') log_debug(1, "%s", listbuf);
  }
  return status;
}

}  // extern "C"
