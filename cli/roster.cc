// roster.cc - listens to the group's announcements beside a running manager
// and keeps one record per member, read by the library's own parser and
// judged by the library's own signature check.
#include "roster.h"

#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace zvgm {

const char *trustWord(Trust t) {
  switch (t) {
    case kValid: return "valid";
    case kOtherSecret: return "other secret";
    case kSignedUnchecked: return "signed";
    case kUnsigned: break;
  }
  return "unsigned";
}

const char *secretWord(int which) {
  return which == GM_SECRET_FIRST ? "first" : which == GM_SECRET_SECOND ? "second" : nullptr;
}

std::string trustText(const Member &m) {
  const char *w = m.trust == kValid ? secretWord(m.secret) : nullptr;
  return w != nullptr ? std::string(w) + " secret" : trustWord(m.trust);
}

std::string dotted(uint32_t netAddr) {
  char buf[16];
  toDottedDecimal(ntohl(netAddr), buf);
  return buf;
}

int prefixLen(uint32_t netMask) { return __builtin_popcount(netMask); }

bool loadSecret(const std::string &path, std::string *err) {
  if (path.empty()) return true;
  initSignature(path.c_str());
  // The library reports a refused file itself and then signs nothing.
  if (signatureLoaded()) return true;
  *err = "the secret file " + path +
         " was refused (see above): it must be readable, owned by root and "
         "grant nothing to group or others";
  return false;
}

namespace {

// Reads one secret file under serve's rule into *s; false and *err when it
// is refused. A missing file is refused too, unless optional, which gives
// true with *present false.
bool readCheckingSecret(const std::string &path, bool optional, std::string *s, bool *present,
                        std::string *err) {
  *present = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0 && optional && errno == ENOENT) return true;
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    *err = "cannot read the secret file " + path + ": " + strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  bool mine = st.st_uid == 0 || st.st_uid == geteuid();
  if (!S_ISREG(st.st_mode) || !mine || (st.st_mode & 022) != 0 || st.st_size > (1 << 20)) {
    close(fd);
    *err = "the secret file " + path +
           " was refused: it must be a file of at most 1 MiB owned by root or by the user "
           "running zvgm, not writable by group or others";
    return false;
  }
  s->assign((size_t)st.st_size, '\0');
  ssize_t got = read(fd, s->data(), s->size());
  close(fd);
  if (got != (ssize_t)s->size()) {
    *err = "cannot read the secret file " + path;
    return false;
  }
  *present = true;
  return true;
}

}  // namespace

bool loadCheckingSecret(const std::string &path, std::string *err) {
  if (path.empty()) return true;
  std::string first, second;
  bool have, haveSecond;
  if (!readCheckingSecret(path, false, &first, &have, err) ||
      !readCheckingSecret(path + ".2", true, &second, &haveSecond, err))
    return false;
  if (useSignatureSecret(first.data(), (int)first.size()) != 0 ||
      (haveSecond && useSecondSecret(second.data(), (int)second.size()) != 0)) {
    *err = "cannot hold the secret of " + path;
    return false;
  }
  return true;
}

Roster::~Roster() {
  for (Member &m : members) freeHost(m.h);
  for (int fd : fds_) close(fd);
}

bool Roster::open(const Options &o, std::string *err) {
  return prepare(o, err) && openSockets(err);
}

bool Roster::prepare(const Options &o, std::string *err, bool checking) {
  opt_ = o;
  if (!(checking ? loadCheckingSecret(o.secret, err) : loadSecret(o.secret, err))) return false;
  secretLoaded_ = !o.secret.empty();
  params.gmport = o.port;
  struct in_addr group;
  if (!o.broadcast &&
      (inet_aton(o.group.c_str(), &group) == 0 || !IN_MULTICAST(ntohl(group.s_addr)))) {
    *err = "not a multicast group address: " + o.group;
    return false;
  }
  return true;
}

// A listener bound to the group port on all addresses would share the
// manager's unicast datagrams (queries, replies, first-time announcements)
// and take some of them away from it. Bound to the multicast group, or to
// each broadcast address, it receives only what is sent to the whole group.
bool Roster::openSockets(std::string *err) {
  const Options &o = opt_;
  struct in_addr group {};
  if (!o.broadcast) inet_aton(o.group.c_str(), &group);
  int n = 0;
  interface *ifs = read_kernel_ifs(&n);
  if (ifs == nullptr) {
    *err = "cannot read the interface list";
    return false;
  }
  std::string why;
  auto listenOn = [&](uint32_t addr) {
    // The same opening as the manager's group socket (address reuse), so
    // that both receive every announcement.
    int fd = udp_open(addr, o.port);
    if (fd < 0)
      why = "cannot listen on " + dotted(addr) + " port " + std::to_string(o.port) + ": " +
            strerror(errno);
    else
      fds_.push_back(fd);
    return fd;
  };
  if (o.broadcast) {
    for (int i = 0; i < n; i++) listenOn(ifs[i].bcastAddr.sin_addr.s_addr);
  } else if (int fd = listenOn(group.s_addr); fd >= 0) {
    int joined = 0;
    joinFailures.clear();
    for (int i = 0; i < n; i++) {
      if (MulticastJoin(fd, group, ifs[i].myAddr.sin_addr.s_addr) == 0)
        joined++;
      else
        joinFailures.push_back({ifs[i].name, errno});
    }
    if (joined == 0) {
      why = "no interface to join " + o.group + " on";
      fds_.clear();
      close(fd);
    }
  }
  free(ifs);
  // Each datagram's time-to-live comes with it: how far it may still go.
  int on = 1;
  for (int fd : fds_) setsockopt(fd, IPPROTO_IP, IP_RECVTTL, &on, sizeof on);
  if (fds_.empty()) {
    *err = !why.empty() ? why : "no interface to listen on (no broadcast-capable interface is up)";
    return false;
  }
  return true;
}

bool Roster::take(char *buf, int len, uint32_t from, time_t now) {
  return take(buf, len, from, now, Arrival{len, -1});
}

namespace {

// The numifs its writer put into the host line of text (before the reader
// trims it to the interface lines received); 0 when there is none.
int announcedIfs(const char *text) {
  const char *nl = strchr(text, '\n'), *p = strstr(text, " numifs=");
  if (p == nullptr || (nl != nullptr && p > nl)) return 0;
  return (int)strtol(p + 8, nullptr, 10);
}

std::string interfaceList(const host *h) {
  std::string s;
  for (int i = 0; i < h->numifs; i++)
    s += (i ? " " : "") + dotted(h->hostifs[i].myAddr.sin_addr.s_addr) + "/" +
         std::to_string(prefixLen(h->hostifs[i].netmask.sin_addr.s_addr));
  return s;
}

// Notes what this announcement of m (record h) shows beyond its fields: the
// server behind the name, and whether the name passed to another one.
void noteArrival(MemberNotes &n, const host *h, uint32_t from, time_t now, const Arrival &a,
                 int announced) {
  MemberNotes::Sender s;
  s.addr = h->hostAddr.s_addr;
  s.from = from;
  s.ifs = interfaceList(h);
  s.starttime = h->starttime;
  s.last = now;
  auto same = [&](const MemberNotes::Sender &x) {
    return x.addr == s.addr && x.ifs == s.ifs && x.starttime == s.starttime;
  };
  auto it = std::find_if(n.senders.begin(), n.senders.end(), same);
  bool known = it != n.senders.end();
  if (!n.senders.empty() && !same(n.senders.back())) {
    n.flips.push_back({now, known});
    if (n.flips.size() > MemberNotes::kKept) n.flips.erase(n.flips.begin());
  }
  if (known) n.senders.erase(it);
  n.senders.push_back(s);
  if (n.senders.size() > MemberNotes::kKept) n.senders.erase(n.senders.begin());
  n.announcedIfs = announced;
  n.listedIfs = h->numifs;
  n.largest = std::max(n.largest, a.size);
  n.ttl = a.ttl;
}

}  // namespace

bool Roster::take(char *buf, int len, uint32_t from, time_t now, const Arrival &arrival) {
  buf[len] = '\0';
  if (strncmp(buf, "host=", 5) != 0) {
    foreign++;
    return false;
  }
  datagrams++;
  size_t before = strlen(buf);
  int which;
  int ok = verifySignature(buf, &which);  // cuts the trailer off, whatever the verdict
  size_t cut = strlen(buf);
  bool hadTrailer = cut < before;
  Trust trust = !hadTrailer ? kUnsigned
                : secretLoaded_ ? (ok ? kValid : kOtherSecret)
                                : kSignedUnchecked;
  int announced = announcedIfs(buf);
  host *h = parseHostMessage(buf, (int)strlen(buf));
  if (h == nullptr) {
    malformed++;
    return false;
  }
  // The library's rule for trust: what the check says, never the claim.
  if (ok)
    h->flags |= TRUSTED;
  else
    h->flags &= ~TRUSTED;
  Member *m = nullptr;
  for (Member &x : members)
    if (strcmp(x.h->name, h->name) == 0) m = &x;
  // The library's verdict, judged at the time the library's parser stamped.
  gm_verdict v = m == nullptr ? GM_TAKE
                              : judgeAnnouncement(&m->mark, m->h, h, ok, secretLoaded_, h->lastseen);
  if (v != GM_TAKE) {
    m->refused[v]++;
    refused[v]++;
    freeHost(h);
    return true;
  }
  if (m == nullptr) {
    members.emplace_back();
    m = &members.back();
    m->first = now;
  }
  noteAnnouncement(&m->mark, h, ok, h->lastseen);
  // The interface the datagram came from is heard now; the others keep what
  // the previous announcement's record knew of their addresses.
  for (int i = 0; i < h->numifs; i++) {
    interface *ifp = &h->hostifs[i];
    if (ifp->myAddr.sin_addr.s_addr == from) {
      ifp->lastpkt = now;
      ifp->tqTimedout = 0;
    } else if (m->h != nullptr) {
      for (int j = 0; j < m->h->numifs; j++)
        if (m->h->hostifs[j].myAddr.sin_addr.s_addr == ifp->myAddr.sin_addr.s_addr) {
          ifp->lastpkt = m->h->hostifs[j].lastpkt;
          ifp->tqTimedout = m->h->hostifs[j].tqTimedout;
        }
    }
  }
  // One sending goes out on every interface of the sender: the copies carry
  // the same clock and count once.
  int64_t sent = (int64_t)now + h->timeoff;
  if (m->h == nullptr || sent != m->sent) {
    m->heard++;
    byTrust[trust]++;
  }
  if (m->h != nullptr && m->h->starttime != h->starttime) m->restarts++;
  m->sent = sent;
  freeHost(m->h);
  m->h = h;
  m->from = from;
  m->last = now;
  m->trust = trust;
  noteArrival(m->notes, h, from, now, arrival, announced);
  m->secret = which;
  return true;
}

bool Roster::listen(double seconds, bool untilTwice) {
  bool took = false;
  auto end = std::chrono::steady_clock::now() +
             std::chrono::milliseconds((long long)(seconds * 1000));
  for (;;) {
    if (untilTwice && !members.empty()) {
      bool all = true;
      for (const Member &m : members) all = all && m.heard >= 2;
      // The copies of the last sending on the sender's other interfaces
      // follow within moments: wait for them, then stop.
      if (all) {
        untilTwice = false;
        auto soon = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        if (soon < end) end = soon;
      }
    }
    long long left = std::chrono::duration_cast<std::chrono::milliseconds>(
                         end - std::chrono::steady_clock::now())
                         .count();
    if (left <= 0) return took;
    std::vector<struct pollfd> ps;
    for (int fd : fds_) ps.push_back({fd, POLLIN, 0});
    if (poll(ps.data(), ps.size(), (int)(left > 1000 ? 1000 : left)) <= 0) continue;
    for (const struct pollfd &p : ps) {
      if (!(p.revents & POLLIN)) continue;
      char buf[GM_BUFSIZE];
      struct sockaddr_in from {};
      // The text as a member reads it (cut at GM_BUFSIZE - 1), with its
      // length on the wire and its time-to-live.
      struct iovec iov = {buf, sizeof buf - 1};
      alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(int))];
      struct msghdr msg {};
      msg.msg_name = &from;
      msg.msg_namelen = sizeof from;
      msg.msg_iov = &iov;
      msg.msg_iovlen = 1;
      msg.msg_control = control;
      msg.msg_controllen = sizeof control;
      ssize_t got = recvmsg(p.fd, &msg, MSG_TRUNC);
      if (got <= 0) continue;
      Arrival a;
      a.size = (int)got;
      for (struct cmsghdr *c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c))
        if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_TTL) memcpy(&a.ttl, CMSG_DATA(c), sizeof a.ttl);
      int len = got < (ssize_t)sizeof buf - 1 ? (int)got : (int)sizeof buf - 1;
      std::unique_lock<std::mutex> lock;
      if (guard != nullptr) lock = std::unique_lock<std::mutex>(*guard);
      if (take(buf, len, from.sin_addr.s_addr, gmSys.now(), a)) took = true;
    }
  }
}

bool Roster::alive(const Member &m, time_t now) {
  for (int i = 0; i < m.h->numifs; i++)
    if (m.h->hostifs[i].lastpkt != 0 && heardRecently(m.h, &m.h->hostifs[i], now)) return true;
  return false;
}

}  // namespace zvgm
