// net.cc - the IPv4 socket helpers: UDP, broadcast and multicast sockets for
// the group, TCP helpers, and address conversions. Every failure closes what
// it opened, so a failed call leaves no descriptor behind.
#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/support.h"

namespace {

sockaddr_in makeAddr(uint32_t ipa, in_port_t netPort) {
  sockaddr_in sin;
  memset(&sin, 0, sizeof sin);
  sin.sin_family = AF_INET;
  sin.sin_port = netPort;
  sin.sin_addr.s_addr = ipa;
  return sin;
}

void logErrno(const char *label) {
  int saved = errno;
  log_error(0, 0, "%s: %s\n", label, strerror(saved));
  errno = saved;  // callers report the same failure again
}

// Closes s without disturbing errno, which still describes the failure.
void closeKeepErrno(int s) {
  int saved = errno;
  close(s);
  errno = saved;
}

// The shared opening of udp_open and tcp_listen: socket, address reuse, no
// linger, bind. The option failures are only logged: the socket still works.
int openBound(int type, const sockaddr_in &sin, const char *lSocket,
              const char *lReuse, const char *lLinger, const char *lBind) {
  int s = socket(AF_INET, type, 0);
  if (s < 0) {
    logErrno(lSocket);
    return -1;
  }
  int on = 1;
  if (setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) < 0)
    logErrno(lReuse);
  linger nolinger = {0, 0};
  if (setsockopt(s, SOL_SOCKET, SO_LINGER, &nolinger, sizeof nolinger) < 0)
    logErrno(lLinger);
  if (bind(s, (const sockaddr *)&sin, sizeof sin) < 0) {
    logErrno(lBind);
    closeKeepErrno(s);
    return -1;
  }
  return s;
}

bool isMulticast(in_addr group) { return IN_MULTICAST(ntohl(group.s_addr)); }

int membership(int sock, in_addr group, uint32_t ipa, int option) {
  if (sock < 0 || !isMulticast(group)) return -1;
  ip_mreq mreq;
  memset(&mreq, 0, sizeof mreq);
  mreq.imr_multiaddr = group;
  mreq.imr_interface.s_addr = ipa;
  return setsockopt(sock, IPPROTO_IP, option, &mreq, sizeof mreq) < 0 ? -1 : 0;
}

int setByte(int sock, int option, unsigned char value) {
  if (sock < 0) return -1;
  return setsockopt(sock, IPPROTO_IP, option, &value, sizeof value) < 0 ? -1 : 0;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

extern "C" {

int udp_open(uint32_t ipa, int port) {
  return openBound(SOCK_DGRAM, makeAddr(ipa, htons((uint16_t)port)),
                   "udp_open:socket", "udp_open:setsockopt(REUSE)",
                   "udp_open:setsockopt(no-LINGER)", "udp_open:bind");
}

int tcp_listen(int port) {
  // The port is already in network order: the caller converts.
  int s = openBound(SOCK_STREAM, makeAddr(htonl(INADDR_ANY), (in_port_t)port),
                    "tcp_listen:socket", "tcp_listen:setsockopt(REUSE)",
                    "tcp_listen:setsockopt(no-LINGER)", "tcp_listen:bind");
  if (s < 0) return -1;
  if (listen(s, 16) < 0) {
    logErrno("tcp_listen:listen");
    closeKeepErrno(s);
    return -1;
  }
  return s;
}

int tcp_open_to(const char *host, int port) {
  uint32_t ipa = inet_addr(host);
  if (ipa == INADDR_NONE) {
    hostent *he = gethostbyname(host);
    if (he == nullptr || he->h_length != 4 || he->h_addr_list[0] == nullptr)
      return -1;
    memcpy(&ipa, he->h_addr_list[0], 4);
  }
  int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return -1;
  sockaddr_in local = makeAddr(htonl(INADDR_ANY), 0);
  sockaddr_in peer = makeAddr(ipa, (in_port_t)port);
  if (bind(s, (const sockaddr *)&local, sizeof local) < 0 ||
      connect(s, (const sockaddr *)&peer, sizeof peer) < 0) {
    closeKeepErrno(s);
    return -1;
  }
  return s;
}

int BroadcastOpen(int port) {
  int s = udp_open(htonl(INADDR_ANY), port);
  if (s < 0) return s;
  int on = 1;
  if (setsockopt(s, SOL_SOCKET, SO_BROADCAST, &on, sizeof on) < 0) {
    log_error(0, 0, "Cannot set broadcast option on socket");
    closeKeepErrno(s);
    return -1;
  }
  return s;
}

int MulticastJoin(int sock, struct in_addr group, uint32_t ipa) {
  return membership(sock, group, ipa, IP_ADD_MEMBERSHIP);
}

int MulticastLeave(int sock, struct in_addr group, uint32_t ipa) {
  return membership(sock, group, ipa, IP_DROP_MEMBERSHIP);
}

int MulticastSetTTL(int sock, unsigned char ttl) {
  return setByte(sock, IP_MULTICAST_TTL, ttl);
}

int MulticastSetLoop(int sock, unsigned char loop) {
  return setByte(sock, IP_MULTICAST_LOOP, loop);
}

int MulticastSetIF(int sock, uint32_t ipa) {
  if (sock < 0) return -1;
  in_addr ifa;
  ifa.s_addr = ipa;
  if (setsockopt(sock, IPPROTO_IP, IP_MULTICAST_IF, &ifa, sizeof ifa) < 0) {
    logErrno("setsockopt(IP_MULTICAST_IF)");
    return -1;
  }
  return 0;
}

void GetMCAddr(uint32_t ipa, struct in_addr *group) {
  // 224 followed by the subnet's first three octets.
  group->s_addr = htonl(0xE0000000u | (ntohl(ipa) >> 8));
}

int MulticastOpen(uint32_t ipa, uint32_t mask, int port) {
  in_addr group;
  GetMCAddr(ipa & mask, &group);
  int s = udp_open(htonl(INADDR_ANY), port);
  if (s < 0) {
    logErrno("multicast socket");
    return -1;
  }
  if (ipa != 0 && MulticastSetIF(s, ipa) < 0) {
    log_error(0, 0, "unable to set multicast interface to %d\n", (int)ipa);
    close(s);
    return -1;
  }
  if (MulticastJoin(s, group, ipa) < 0) {
    log_error(0, 0, "unable to join multicast set\n");
    close(s);
    return -1;
  }
  return s;
}

int GetIPAddr(const char *host, struct in_addr *addr) {
  // Anything that looks numeric is taken as dotted and never handed to the
  // resolver, even when it does not parse.
  if (strchr(host, '.') != nullptr && isDigit(host[0])) {
    int a, b, c, d;
    if (sscanf(host, "%d.%d.%d.%d", &a, &b, &c, &d) < 4) return -1;
    uint32_t v = ((uint32_t)(a & 0xff) << 24) | ((uint32_t)(b & 0xff) << 16) |
                 ((uint32_t)(c & 0xff) << 8) | (uint32_t)(d & 0xff);
    addr->s_addr = htonl(v);
    return 0;
  }
  hostent *he = gethostbyname(host);
  if (he == nullptr || he->h_addr_list[0] == nullptr) return -1;
  size_t len = he->h_length < (int)sizeof *addr ? (size_t)he->h_length
                                                 : sizeof *addr;
  memcpy(addr, he->h_addr_list[0], len);
  return 0;
}

void toDottedDecimal(uint32_t addr, char *buf) {
  snprintf(buf, 16, "%d.%d.%d.%d", (int)(addr >> 24) & 0xff,
           (int)(addr >> 16) & 0xff, (int)(addr >> 8) & 0xff, (int)addr & 0xff);
}

}  // extern "C"
