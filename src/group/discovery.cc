// discovery.cc - the local interfaces the group is reached on: the kernel's
// IPv4 interfaces that can broadcast, which of them are nimbar (terminal
// interconnect) interfaces according to the administration tool, and the
// comparison of two interface lists.
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "group/group.h"

namespace {

// The first request has room for 50 entries. On 32-bit x86 an entry is 32
// bytes (1600 in all); the count always follows the platform's entry size.
constexpr int kFirstRequest = 50 * (int)sizeof(struct ifreq);
// How long the administration tool may stay silent before it counts as hung.
constexpr int kToolTimeoutMs = 5000;
// The kernel list is retried with doubled room while it comes back full; past
// this size something is wrong and the read is given up as if out of memory.
constexpr int kMaxRequest = 1 << 20;
// Of these flags exactly up and broadcast must be set: no loopback, no
// interface that is down, no point-to-point link.
constexpr short kIfMask = IFF_UP | IFF_BROADCAST | IFF_LOOPBACK;
constexpr short kIfWanted = IFF_UP | IFF_BROADCAST;

// Asks one property of the named interface into q.
bool askIf(int sock, unsigned long req, const char *name, struct ifreq *q) {
  memset(q, 0, sizeof *q);
  memcpy(q->ifr_name, name, IFNAMSIZ);
  q->ifr_name[IFNAMSIZ - 1] = '\0';
  return ioctl(sock, req, q) == 0;
}

// The kernel's interface list into a fresh buffer; null after reporting.
char *kernelList(int sock, struct ifconf *ifc) {
  ifc->ifc_len = kFirstRequest;
  for (;;) {
    char *buf = ifc->ifc_len <= kMaxRequest ? (char *)malloc((size_t)ifc->ifc_len)
                                            : nullptr;
    if (buf == nullptr) {
      log_error(0, 0, "read_kernal_ifs: ifc malloc failed %d\n", ifc->ifc_len);
      return nullptr;
    }
    int size = ifc->ifc_len;
    ifc->ifc_buf = buf;
    if (ioctl(sock, SIOCGIFCONF, ifc) == 0 && ifc->ifc_len < size) return buf;
    // Full or failed: the list may be longer than the room given.
    ifc->ifc_len = size * 2;
    free(buf);
  }
}

}  // namespace

extern "C" {

interface *(*gmReadIfs)(int *numifs) = read_kernel_ifs;

interface *read_kernel_ifs(int *numifs) {
  int sock = socket(AF_INET, SOCK_DGRAM, 0);
  if (sock < 0) {
    log_error(0, 0, "socket open failed\n");
    return nullptr;
  }
  struct ifconf ifc;
  char *buf = kernelList(sock, &ifc);
  if (buf == nullptr) {
    close(sock);
    return nullptr;
  }
  int total = ifc.ifc_len / (int)sizeof(struct ifreq);
  log_debug(1, "Got %d total interfaces\n", total);
  // At least one record, so that an empty list is not mistaken for failure.
  interface *ifs = (interface *)malloc(sizeof(interface) * (size_t)(total > 0 ? total : 1));
  if (ifs == nullptr) {
    log_error(0, 0, "read_kernel_ifs: malloc failed\n");
    free(buf);
    close(sock);
    return nullptr;
  }

  int count = 0;
  for (int k = 0; k < total; k++) {
    const struct ifreq *ent = &ifc.ifc_req[k];
    interface *ifp = &ifs[count];
    memset(ifp, 0, sizeof *ifp);
    memcpy(&ifp->myAddr, &ent->ifr_addr, sizeof ifp->myAddr);
    ifp->myAddr.sin_port = htons((uint16_t)params.gmport);

    // A logical alias counts only when it carries the host's own address.
    if (memchr(ent->ifr_name, ':', strnlen(ent->ifr_name, IFNAMSIZ)) != nullptr &&
        ifp->myAddr.sin_addr.s_addr != myhost.hostAddr.s_addr)
      continue;
    if (ent->ifr_addr.sa_family != AF_INET) continue;

    struct ifreq q;
    if (!askIf(sock, SIOCGIFFLAGS, ent->ifr_name, &q) ||
        (q.ifr_flags & kIfMask) != kIfWanted)
      continue;
    if (!askIf(sock, SIOCGIFBRDADDR, ent->ifr_name, &q)) continue;
    memcpy(&ifp->bcastAddr, &q.ifr_broadaddr, sizeof ifp->bcastAddr);
    ifp->bcastAddr.sin_port = htons((uint16_t)params.gmport);
    if (!askIf(sock, SIOCGIFNETMASK, ent->ifr_name, &q)) continue;
    ifp->netmask.sin_addr = ((const struct sockaddr_in *)&q.ifr_netmask)->sin_addr;

    memcpy(ifp->name, ent->ifr_name, sizeof ifp->name);
    ifp->name[sizeof ifp->name - 1] = '\0';
    ifp->lastpkt = gmSys.now();
    ifp->tqTimedout = 0;
    ifp->flags = 0;
    count++;
  }

  *numifs = count;
  log_debug(1, "Got %d real interfaces\n", count);
  free(buf);
  close(sock);
  return ifs;
}

int flag_nimbar_ifs(interface *hostifs, int numifs) {
  for (int j = 0; j < numifs; j++) hostifs[j].flags |= LAN;

  XFILE *xp = safe_popen(GM_ADMCMD, "r");
  if (xp == nullptr) {
    log_error(0, 0, "exec failed: %s\n", GM_ADMCMD);
    return 1;
  }
  // The tool runs while gmLock is held: a tool that hangs must not hang
  // every query of the daemon with it.
  xp->timeout_ms = kToolTimeoutMs;
  char line[512];
  char word[512];
  xgets(line, sizeof line, xp);  // the tool's header
  int named = 0;
  while (xgets(line, sizeof line, xp) != nullptr) {
    if (sscanf(line, "%511s", word) != 1) continue;
    log_debug(1, "Brivo interface: %s\n", word);
    if (++named > MAXFDS) {
      log_error(0, 0, "Too many interfaces, increase MAXFDS\n");
      safe_pclose(xp);
      return 1;
    }
    for (int j = 0; j < numifs; j++)
      if (strncmp(hostifs[j].name, word, sizeof hostifs[j].name) == 0 &&
          strlen(word) < sizeof hostifs[j].name)
        hostifs[j].flags &= ~LAN;
  }
  if (xp->timedout) {
    log_error(0, 0, "%s: no output for %d s, not waiting any longer\n", GM_ADMCMD,
              kToolTimeoutMs / 1000);
    safe_pclose(xp);
    return 2;
  }
  safe_pclose(xp);
  return 0;
}

interface *find_interface(const interface *this_if, interface *hostifs,
                          int numifs) {
  for (int j = 0; j < numifs; j++) {
    interface *ifp = &hostifs[j];
    if (strncmp(ifp->name, this_if->name, sizeof ifp->name) == 0 &&
        ifp->myAddr.sin_addr.s_addr == this_if->myAddr.sin_addr.s_addr &&
        ifp->netmask.sin_addr.s_addr == this_if->netmask.sin_addr.s_addr)
      return ifp;
  }
  return nullptr;
}

int interface_changed(interface *oldhostifs, int oldnumifs,
                      interface *newhostifs, int newnumifs) {
  if (oldnumifs != newnumifs) return 1;
  for (int j = 0; j < oldnumifs; j++)
    if (find_interface(&oldhostifs[j], newhostifs, newnumifs) == nullptr)
      return 1;
  return 0;
}

}  // extern "C"
