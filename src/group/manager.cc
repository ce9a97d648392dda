// manager.cc - the body of the manager thread: start-up of the local record
// and the group socket, then the loop that refreshes and announces the local
// host every keep-alive interval and hands each datagram to its handler:
// announcements to announce.cc, every other kind by the routes installed
// from above (the responders, through groupManager).
#include <arpa/inet.h>
#include <errno.h>
#include <limits.h>
#include <netdb.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "group/group.h"

namespace {

const int kErrBuf = 103;  // the least that callers give groupManager

// The routes of the datagrams that are not announcements.
const gm_route *routes;
int numRoutes;
const int kRecvRoom = 4 << 20;  // receive buffer of the group socket, bytes

// Datagrams taken from the socket with one call at most. A queue that a
// flood keeps full then costs one receive call per batch, not one per
// datagram, and the refresh is never more than a batch late.
const int kBatch = 32;

const int kSendWaitMs = 50;  // a send's longest wait for buffer room

// Group address for the multicast socket: mcaddr when it is a dotted
// multicast address, the default group otherwise.
in_addr_t groupAddress(const char *mcaddr) {
  in_addr_t a = mcaddr != nullptr ? inet_addr(mcaddr) : INADDR_NONE;
  uint32_t first = ntohl(a) >> 24;
  if (a == INADDR_NONE || first < 224 || first > 239)
    a = inet_addr(GM_DEFAULT_GROUP);
  return a;
}

void logParams(void) {
  if (params.debug == 0) return;
  log_debug(1, "gmport = %d\n", params.gmport);
  log_debug(1, "keepAliveInterval = %d\n", params.keepAliveInterval);
  log_debug(1, "LANallowed = %d\n", params.LANallowed);
  log_debug(1, "use_multicast = %d\n", params.use_multicast);
  if (params.use_multicast) {
    log_debug(1, "mcaddr = %s\n", params.mcaddr != nullptr ? params.mcaddr : "");
    log_debug(1, "mcTTL = %d\n", params.mcTTL);
  }
  log_debug(1, "use_load_balance = %d\n", params.use_lb);
  if (params.sigfile != nullptr)
    log_debug(1, "gmSignatureFile = %s\n", params.sigfile);
}

// The local name and its first IPv4 address. Failures go into errbuf only.
int resolveSelf(char *errbuf) {
  if (gethostname(myhost.name, sizeof myhost.name) != 0) {
    snprintf(errbuf, kErrBuf, "Can't get hostname");
    return -1;
  }
  myhost.name[sizeof myhost.name - 1] = '\0';
  struct hostent *he = gethostbyname(myhost.name);
  if (he == nullptr || he->h_addr_list == nullptr || he->h_addr_list[0] == nullptr) {
    snprintf(errbuf, kErrBuf, "Can't translate hostname %s to IP address",
             myhost.name);
    return -1;
  }
  if (he->h_addrtype != AF_INET || he->h_length != 4) {
    snprintf(errbuf, kErrBuf, "Address type for %s is not AF_INET", myhost.name);
    return -1;
  }
  memcpy(&myhost.hostAddr.s_addr, he->h_addr_list[0], 4);
  return 0;
}

// A name that resolves to loopback (Debian's installer writes "127.0.1.1
// NAME" into /etc/hosts) becomes the address this server announces, and its
// peers hand that address to their daemons for clients on networks it has no
// interface on. Said once, at start-up, whatever the debug level.
void sayLoopbackAddress(void) {
  uint32_t a = ntohl(myhost.hostAddr.s_addr);
  if ((a >> 24) != 127) return;
  char dotted[16];
  toDottedDecimal(a, dotted);
  log_error(0, 0,
            "%s resolves to the loopback address %s, which this server announces as "
            "its own: sessions placed on it from routed networks go nowhere; give %s "
            "its LAN address in /etc/hosts\n",
            myhost.name, dotted, myhost.name);
}

// Opens the one group socket; -1 with the reason in errbuf and the log.
int openGroupSocket(char *errbuf) {
  int fd;
  if (params.use_multicast) {
    fd = mcast_fd = udp_open(0, params.gmport);
    if (fd < 0) {
      snprintf(errbuf, kErrBuf, "MulticastOpen failed, port = %d", params.gmport);
      log_error(0, 0, "%s\n", errbuf);
      return -1;
    }
    if (params.mcTTL != 0)
      MulticastSetTTL(fd, (unsigned char)(params.mcTTL & 0xff));
  } else {
    fd = bcast_fd = BroadcastOpen(params.gmport);
    if (fd < 0) {
      snprintf(errbuf, kErrBuf, "BroadcastOpen failed, port = %d", params.gmport);
      log_error(0, 0, "%s\n", errbuf);
      return -1;
    }
  }
  // The loop waits in the receive itself, under a receive timeout
  // (waitOnGroupSocket), so the socket blocks; a send of the loop's own
  // waits for room in the send buffer at most kSendWaitMs (the responders
  // never wait).
  struct timeval sendWait = {0, kSendWaitMs * 1000};
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendWait, sizeof sendWait);
  // Room for a few hundred milliseconds of a flood: datagrams that arrive
  // while the thread waits for a processor are kept, not dropped. A server
  // run as root may go past the system's limit (net.core.rmem_max); any
  // other gets what the limit allows.
  int room = kRecvRoom;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
  return fd;
}

// The local host as the only record of the table, before its first
// refresh.
void startLocalRecord(void) {
  // An interval below one second would refresh on every pass without ever
  // waiting (0) or wait for ever (negative): one second is the floor, and
  // the record announces the interval the loop really keeps.
  int period = params.keepAliveInterval < 1 ? 1 : params.keepAliveInterval;
  ZV_MUTEX_LOCK(&gmLock);
  myhost.timeoff = 0;
  myhost.starttime = gmSys.now();
  myhost.period = period;
  myhost.hostifs = nullptr;
  myhost.numifs = 0;
  myhost.numcpus = 0;
  myhost.meanclock = 0;
  myhost.load = 0;
  myhost.flags = TRUSTED | (params.LANallowed ? LAN_OK : 0);
  hostList[0] = &myhost;
  numhosts = 1;
  ZV_MUTEX_UNLOCK(&gmLock);
}

// Takes what is queued on sock, up to a batch, as handleGroupMessage says
// (flags: MSG_WAITFORONE, with MSG_DONTWAIT where it must not wait); the
// number of datagrams, or -1 with errno as recvmmsg leaves it.
int receiveBatch(int sock, int flags) {
  static char room[kBatch - 1][GM_BUFSIZE - 1];
  static struct sockaddr_in froms[kBatch];
  static struct iovec iov[kBatch];
  static struct mmsghdr msgs[kBatch];
  if (iov[0].iov_base == nullptr) {  // set up once; the kernel changes only
    for (int i = 0; i < kBatch; i++) {  // the lengths
      iov[i].iov_base = i == 0 ? inbuf : room[i - 1];
      iov[i].iov_len = GM_BUFSIZE - 1;
      msgs[i].msg_hdr.msg_iov = &iov[i];
      msgs[i].msg_hdr.msg_iovlen = 1;
      msgs[i].msg_hdr.msg_name = &froms[i];
      msgs[i].msg_hdr.msg_namelen = sizeof froms[i];
    }
  }
  int n = recvmmsg(sock, msgs, kBatch, flags, nullptr);
  for (int i = 0; i < n; i++) {
    // As received, and cut at GM_BUFSIZE - 1 bytes when longer.
    int len = (int)msgs[i].msg_len;
    if (i > 0) memcpy(inbuf, room[i - 1], (size_t)len);
    dispatchGroupMessage(sock, &froms[i], inbuf, len);
    msgs[i].msg_hdr.msg_namelen = sizeof froms[i];
  }
  return n;
}

// Handles what a poll found on the group socket: a failure is logged, a
// readable socket gives its datagrams to the handlers. The number handled.
int serveSocket(struct pollfd *fd) {
  if (fd->revents & (POLLERR | POLLHUP | POLLNVAL)) {
    // The socket has no interface of its own; the first one is what this
    // message has always named, "none" when there is none.
    char ifname[sizeof myhost.name] = "none";
    if (myhost.numifs > 0) snprintf(ifname, sizeof ifname, "%.15s", myhost.hostifs[0].name);
    log_error(0, 0, "poll failed on socket %d, interface %s\n", fd->fd, ifname);
  }
  int handled = 0;
  if (fd->revents & POLLIN) {
    int n = receiveBatch(fd->fd, MSG_WAITFORONE | MSG_DONTWAIT);
    if (n > 0) handled = n;
    fd->revents = 0;
  }
  return handled;
}

}  // namespace

extern "C" {

void setGroupRoutes(const gm_route *table, int count) {
  routes = count > 0 ? table : nullptr;
  numRoutes = count > 0 ? count : 0;
}

int runGroupManager(gm_params gmp, char *errbuf) {
  params = gmp;
  setLogDebugLevel(params.debug);
  logParams();
  initSignature(params.sigfile);
  if (resolveSelf(errbuf) != 0) return -1;
  sayLoopbackAddress();

  if (params.use_multicast) {
    mcAddr.sin_family = AF_INET;
    mcAddr.sin_port = htons((uint16_t)params.gmport);
    mcAddr.sin_addr.s_addr = groupAddress(params.mcaddr);
  }

  startLocalRecord();
  // The lines that datagrams can repeat are bounded per keep-alive interval.
  setLogRateInterval(myhost.period);

  // No group socket until one is opened: a stray use must fail, not write
  // to descriptor 0.
  mcast_fd = bcast_fd = -1;
  struct pollfd groupSock = {-1, POLLIN, 0};
  if (params.enableGM) {
    groupSock.fd = openGroupSocket(errbuf);
    if (groupSock.fd < 0) return -1;
  }

  time_t next = 0;
  int armed = -1;  // the group socket's receive timeout, ms
  for (;;) {
    time_t now = gmSys.now();
    // A refresh further away than one period means the clock went back:
    // refresh now rather than fall silent until the clock catches up.
    if (now >= next || next - now > myhost.period) {
      configure();
      if (params.enableGM) sendall(bcastbuf, (int)strlen(bcastbuf));
      logRateFlush(now);
      next = now + myhost.period;
    }
    long long wait = ((long long)next - (long long)now) * 1000;
    int timeout = wait > INT_MAX ? INT_MAX : (int)wait;
    if (params.enableGM)
      waitOnGroupSocket(&groupSock, timeout, &armed);
    else
      gmSys.poll(nullptr, 0, timeout);
  }
}

// Takes what is queued on sock, up to a batch, and dispatches each datagram
// from inbuf: the first is received there, the others into the batch's room
// and copied there in turn. Waits for the first datagram only as the socket
// does (a blocking socket blocks, a non-blocking one returns at once when
// nothing is queued), never for the rest. Manager thread only, as inbuf is.
int handleGroupMessage(int sock) { return receiveBatch(sock, MSG_WAITFORONE); }

int waitOnGroupSocket(struct pollfd *fd, int timeout, int *armed) {
  // A timeout of 0 would be none at all.
  if (timeout > 0 && timeout != *armed) {
    struct timeval tv = {timeout / 1000, (timeout % 1000) * 1000};
    *armed = setsockopt(fd->fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0 ? timeout : -1;
  }
  if (timeout > 0 && *armed == timeout) {
    int n = handleGroupMessage(fd->fd);
    if (n >= 0) return n;
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  }
  // Without a timeout, or on a failed socket: a poll, which reports its
  // error events.
  int rc = gmSys.poll(fd, 1, timeout);
  return rc > 0 ? serveSocket(fd) : rc;
}

// One datagram as received: checks and cuts its signature, then hands it to
// the handler its first token names. buf holds len bytes and has room for a
// terminating NUL at buf[len] (a receive buffer of GM_BUFSIZE does).
void dispatchGroupMessage(int sock, struct sockaddr_in *from, char *buf, int len) {
  if (len < 0) return;
  buf[len] = '\0';
  int trusted = chkSignature(buf);
  if (strncmp(buf, GM_HOST_KEY, strlen(GM_HOST_KEY)) == 0) {
    hostMessage(sock, from, buf, len, trusted);
    return;
  }
  for (int i = 0; i < numRoutes; i++) {
    if (strncmp(buf, routes[i].prefix, strlen(routes[i].prefix)) == 0) {
      routes[i].handle(sock, from, buf, len, trusted);
      return;
    }
  }
}

}  // extern "C"
