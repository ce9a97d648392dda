// announce.cc - the host announcement: the one datagram by which a server
// makes itself known to its peers. Writes the local host's announcement and
// takes a peer's announcement into the group table.
//
// The format, its picture and its limits are in announce.h.
#include <arpa/inet.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "group/announce.h"
#include "group/group.h"

namespace {

const int kReserve = GM_ANNOUNCE_RESERVE;
const int kMaxCpus = GM_ANNOUNCE_MAXCPUS;
const int kMaxClock = GM_ANNOUNCE_MAXCLOCK;
const double kMaxLoad = GM_ANNOUNCE_MAXLOAD;

// ---- Number reading: the leading number, clamped into its range ---------

// The field a clamped value is reported under: the host and the key.
struct where {
  const char *host;
  const char *key;
};

void clamped(where w, const char *val, const char *to) {
  log_debug(2, "host %s: %s=%.32s clamped to %s\n", w.host, w.key, val, to);
}

// strtol base 10 (or atol), held inside lo .. hi.
int32_t readDec(where w, const char *val, int32_t lo, int32_t hi) {
  long long v = strtoll(val, nullptr, 10);
  if (v >= lo && v <= hi) return (int32_t)v;
  int32_t c = v < lo ? lo : hi;
  char to[16];
  snprintf(to, sizeof to, "%d", c);
  clamped(w, val, to);
  return c;
}

// Tested directly: the daemon's JVM may have switched the process locale.
bool isHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// strtoul base 16 as a 32-bit peer has it; a magnitude of more than eight
// significant hex digits saturates, and that is reported.
uint32_t readHex(where w, const char *val) {
  const char *p = val;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
  if (*p == '+' || *p == '-') p++;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && isHexDigit(p[2]))
    p += 2;
  while (*p == '0') p++;
  size_t digits = 0;
  while (isHexDigit(p[digits])) digits++;
  if (digits > 8) clamped(w, val, "ffffffff");
  return strtoul32(val, 16);
}

// strtod with the point of the C locale, held inside -1.0 .. kMaxLoad.
float readLoad(where w, const char *val) {
  double v = strtodC(val, nullptr);
  if (v >= -1.0 && v <= kMaxLoad) return (float)v;
  double c = v > kMaxLoad ? kMaxLoad : -1.0;  // not a number: unknown
  char to[16];
  snprintfC(to, sizeof to, "%.1f", c);
  clamped(w, val, to);
  return (float)c;
}

// Copies at most size - 1 characters and terminates; reads no further than
// that, so a full fixed-size field without its NUL is safe as a source.
void copyName(char *dst, size_t size, const char *src) {
  size_t n = strnlen(src, size - 1);
  memcpy(dst, src, n);
  dst[n] = '\0';
}

// ---- Receiving ----------------------------------------------------------

// The record under construction while one datagram is parsed.
struct parse {
  host *h;            // null until the host line has been taken
  int taken;          // interface lines filled so far
  time_t now;         // reception time
};

enum lineResult { kGoOn, kStop, kReject };

// The host line: a fresh record with the defaults of an unannounced peer,
// then the pairs. calloc leaves every field that no key sets at zero.
lineResult hostLine(parse *ps, char **keys, char **vals, int n) {
  char name[sizeof ps->h->name];
  copyName(name, sizeof name, vals[0]);
  if (name[0] == '\0') return kReject;
  host *h = (host *)calloc(1, sizeof(host));
  if (h == nullptr) {
    log_error(0, 0, "hostMessage: malloc failed\n");
    return kReject;
  }
  ps->h = h;
  memcpy(h->name, name, sizeof name);
  h->numcpus = GM_ANNOUNCE_CPUS;
  h->meanclock = GM_ANNOUNCE_CLOCK;
  h->period = GM_DEFAULT_KEEPALIVE;
  h->sessions = -1;
  h->idles = -1;
  h->load = -1.0f;
  h->lastseen = ps->now;
  bool haveAddr = false, haveTime = false, haveNumifs = false;
  for (int i = 1; i < n; i++) {
    const char *k = keys[i], *v = vals[i];
    where w = {h->name, k};
    if (strcmp(k, "addr") == 0) {
      h->hostAddr.s_addr = htonl(readHex(w, v));
      haveAddr = true;
    } else if (strcmp(k, "time") == 0) {
      int32_t t = readDec(w, v, INT32_MIN, INT32_MAX);
      // Both clocks as 32-bit numbers, as the sender writes its own: the
      // difference stays right across a wrap of either.
      h->timeoff = (int32_t)((uint32_t)t - (uint32_t)ps->now);
      haveTime = true;
    } else if (strcmp(k, "numifs") == 0) {
      int32_t d = readDec(w, v, 0, MAXFDS);
      free(h->hostifs);
      h->hostifs = nullptr;
      h->numifs = d;
      ps->taken = 0;
      if (d > 0) {
        h->hostifs = (interface *)calloc((size_t)d, sizeof(interface));
        if (h->hostifs == nullptr) return kReject;
      }
      haveNumifs = true;
    } else if (strcmp(k, "flags") == 0) {
      h->flags = (int32_t)readHex(w, v);
    } else if (strcmp(k, "cpus") == 0) {
      h->numcpus = readDec(w, v, 0, kMaxCpus);
    } else if (strcmp(k, "clock") == 0) {
      h->meanclock = readDec(w, v, 0, kMaxClock);
    } else if (strcmp(k, "period") == 0) {
      h->period = readDec(w, v, 0, INT32_MAX);
    } else if (strcmp(k, "starttime") == 0) {
      h->starttime = readDec(w, v, INT32_MIN, INT32_MAX);
    } else if (strcmp(k, "load") == 0) {
      h->load = readLoad(w, v);
    }
  }
  if (!haveAddr || !haveTime || !haveNumifs) return kReject;
  return kGoOn;
}

lineResult interfaceLine(parse *ps, char **keys, char **vals, int n) {
  host *h = ps->h;
  if (ps->taken >= h->numifs) return kGoOn;
  interface *ifp = &h->hostifs[ps->taken];
  copyName(ifp->name, sizeof ifp->name, vals[0]);
  for (int i = 1; i < n; i++) {
    const char *k = keys[i], *v = vals[i];
    where w = {h->name, k};
    if (strcmp(k, "ip") == 0)
      ifp->myAddr.sin_addr.s_addr = htonl(readHex(w, v));
    else if (strcmp(k, "mask") == 0)
      ifp->netmask.sin_addr.s_addr = htonl(readHex(w, v));
    else if (strcmp(k, "bcast") == 0)
      ifp->bcastAddr.sin_addr.s_addr = htonl(readHex(w, v));
    else if (strcmp(k, "flags") == 0)
      ifp->flags = (int32_t)readHex(w, v);
  }
  // Never heard until the receiver knows which interface the datagram came
  // from.
  ifp->lastpkt = 0;
  ifp->tqTimedout = 1;
  ps->taken++;
  return kGoOn;
}

lineResult sessionsLine(parse *ps, char **keys, char **vals, int n) {
  host *h = ps->h;
  h->sessions = readDec(where{h->name, "sessions"}, vals[0], -1, INT32_MAX);
  for (int i = 1; i < n; i++)
    if (strcmp(keys[i], "idles") == 0)
      h->idles = readDec(where{h->name, "idles"}, vals[i], -1, INT32_MAX);
  return kGoOn;
}

lineResult takeLine(parse *ps, char *line) {
  char *keys[GM_MAXPAIRS + 1];
  char *vals[GM_MAXPAIRS];
  int n = mkKeyPairs(line, keys, vals, GM_MAXPAIRS);
  if (n == 0) return kGoOn;
  if (strcmp(keys[0], "host") == 0)
    return ps->h == nullptr ? hostLine(ps, keys, vals, n) : kStop;
  if (ps->h == nullptr) return kReject;  // anything before the host line
  if (strcmp(keys[0], "interface") == 0)
    return interfaceLine(ps, keys, vals, n);
  if (strcmp(keys[0], "sessions") == 0) return sessionsLine(ps, keys, vals, n);
  return kGoOn;
}

// Interfaces that this datagram did not come from keep what the record they
// replace knew of them; the later of two old entries for one address wins.
void carryOver(host *nh, const host *old) {
  for (int i = 0; i < nh->numifs; i++) {
    interface *ni = &nh->hostifs[i];
    if (ni->lastpkt != 0) continue;
    for (int j = 0; j < old->numifs; j++) {
      const interface *oi = &old->hostifs[j];
      if (oi->myAddr.sin_addr.s_addr == ni->myAddr.sin_addr.s_addr) {
        ni->lastpkt = oi->lastpkt;
        ni->tqTimedout = oi->tqTimedout;
      }
    }
  }
}

// Lines that a stream of announcements would repeat.
lograte tableFull = LOGRATE_INIT("Too many hosts in group");
lograte sendFailed = LOGRATE_INIT("hostMessage:sendto");
lograte impersonated = LOGRATE_INIT_BURST("Announcement refused as an impersonation", 1);
lograte replayed = LOGRATE_INIT_BURST("Announcement refused as a replay", 1);

// 32-bit serial order, as the sender's clocks wrap: a after b.
bool after(int32_t a, int32_t b) { return (int32_t)((uint32_t)a - (uint32_t)b) > 0; }

// The verdict's side state of each table slot, beside the public records,
// with the name it belongs to: a slot given to another name starts afresh.
// Manager thread only.
struct slotMark {
  char name[sizeof ((host *)nullptr)->name];
  gm_trustmark mark;
};
slotMark slotMarks[GM_HOSTSLOTS];
unsigned long refused[GM_VERDICTS];

gm_trustmark *markOf(int slot, const char *name) {
  slotMark *m = &slotMarks[slot];
  if (strcmp(m->name, name) != 0) {
    memset(m, 0, sizeof *m);
    copyName(m->name, sizeof m->name, name);
  }
  return &m->mark;
}

// Says once per interval that an announcement of h from `from` was refused.
void logRefusal(gm_verdict v, const host *h, const gm_trustmark &was,
                const struct sockaddr_in *from) {
  char dotted[32];
  toDottedDecimal(ntohl(from->sin_addr.s_addr), dotted);
  if (v == GM_IMPERSONATION)
    log_error_limited(&impersonated,
                      "Announcement of %s from %s refused: it fails the signature check "
                      "while %s is trusted and alive\n",
                      h->name, dotted, h->name);
  else
    log_error_limited(&replayed,
                      "Announcement of %s from %s refused: starttime %d time %d is not newer "
                      "than the last one taken (%d, %d)\n",
                      h->name, dotted, (int)h->starttime, (int)announcedTime(h), (int)was.start,
                      (int)was.time);
}

// With a secret loaded and the table full, the slot that a trusted newcomer
// takes: the untrusted record heard least recently. Lookups ask trusted
// records only, and a lookup whose record lost its trust and its slot on the
// way writes nothing into the newcomer's (queryWriteBack compares names).
// -1 when there is none, or without a secret, where the table-full rule
// knows no exception. Caller holds gmLock.
int untrustedSlot(void) {
  if (!signatureLoaded()) return -1;
  int best = -1;
  for (int i = 1; i < numhosts && i < GM_HOSTSLOTS; i++) {
    const host *o = hostList[i];
    if (o == nullptr || (o->flags & TRUSTED)) continue;
    if (best < 0 || o->lastseen < hostList[best]->lastseen) best = i;
  }
  return best;
}

void dumpHost(const host *h, const struct sockaddr_in *from) {
  char dotted[32];
  toDottedDecimal(ntohl(from->sin_addr.s_addr), dotted);
  log_debug(2, "Host message from %s numhosts %d\n", dotted, numhosts);
  log_debug(2, "host=%s addr=%x time=%d (off=%d) numifs=%d cpus=%d clock=%d\n",
            h->name, ntohl(h->hostAddr.s_addr), (int32_t)h->lastseen,
            h->timeoff, h->numifs, h->numcpus, h->meanclock);
  for (int i = 0; i < h->numifs; i++) {
    const interface *ifp = &h->hostifs[i];
    log_debug(2, "interface=%s ip=%x mask=%x bcast=%x lastpkt=%d flags=%x\n",
              ifp->name, ntohl(ifp->myAddr.sin_addr.s_addr),
              ntohl(ifp->netmask.sin_addr.s_addr),
              ntohl(ifp->bcastAddr.sin_addr.s_addr), (int32_t)ifp->lastpkt,
              (unsigned)ifp->flags);
  }
}

}  // namespace

extern "C" {

void makeHostMessage(char *buf, int len) {
  if (buf == nullptr || len <= 0) return;
  buf[0] = '\0';
  myhost.lastseen = gmSys.now();
  // Local copies guarantee the terminating NUL whatever the records hold.
  char name[sizeof myhost.name];
  copyName(name, sizeof name, myhost.name);
  int n = snprintfC(buf, (size_t)len, GM_HOST_FMT, name,
                    ntohl(myhost.hostAddr.s_addr), (int32_t)myhost.lastseen,
                    myhost.numifs, (unsigned)myhost.flags, myhost.numcpus,
                    myhost.meanclock, myhost.period, (int32_t)myhost.starttime,
                    (double)myhost.load);
  // Only a buffer too small for the host line and the reserve lands here;
  // the callers' 1500 bytes always hold both.
  if (n < 0 || n > len - kReserve) {
    buf[0] = '\0';
    return;
  }
  char *p = buf + n;
  int room = len - kReserve - n;
  for (int i = 0; i < myhost.numifs; i++) {
    const interface *ifp = &myhost.hostifs[i];
    char ifname[sizeof ifp->name];
    copyName(ifname, sizeof ifname, ifp->name);
    int r = snprintf(p, (size_t)room, GM_INTERFACE_FMT, ifname,
                     ntohl(ifp->myAddr.sin_addr.s_addr),
                     ntohl(ifp->netmask.sin_addr.s_addr),
                     ntohl(ifp->bcastAddr.sin_addr.s_addr),
                     (unsigned)ifp->flags);
    if (r < 0 || r >= room) {
      log_debug(1, "Too many interfaces - some not listed\n");
      break;
    }
    p += r;
    room -= r;
  }
  snprintf(p, (size_t)(room + kReserve), GM_SESSIONS_FMT, myhost.sessions,
           myhost.idles);
  addSignature(buf);
}

void freeHost(host *h) {
  if (h == nullptr) return;
  free(h->hostifs);
  free(h);
}

host *parseHostMessage(char *msgbuf, int size) {
  if (msgbuf == nullptr || size <= 0) return nullptr;
  parse ps = {nullptr, 0, gmSys.now()};
  // The text ends at size or at its first NUL (where chkSignature cut off the
  // trailer), whichever comes first; a line is parsed up to its newline or
  // that NUL, and the next one starts behind the newline found beforehand.
  char *end = msgbuf + strnlen(msgbuf, (size_t)size);
  lineResult res = kGoOn;
  for (char *cp = msgbuf; cp < end && res == kGoOn;) {
    char *nl = (char *)memchr(cp, '\n', (size_t)(end - cp));
    res = takeLine(&ps, cp);
    if (nl == nullptr) break;
    cp = nl + 1;
  }
  host *h = ps.h;
  if (res == kReject || h == nullptr) {
    freeHost(h);
    return nullptr;
  }
  // Records past the last interface line received carry nothing: they are
  // not interfaces.
  if (ps.taken < h->numifs) {
    h->numifs = ps.taken;
    if (h->numifs == 0) {
      free(h->hostifs);
      h->hostifs = nullptr;
    }
  }
  return h;
}

void hostMessage(int sock, struct sockaddr_in *from, char *msgbuf, int size,
                 int trusted) {
  if (msgbuf == nullptr || from == nullptr || size <= 0) return;
  host *h = parseHostMessage(msgbuf, size);
  if (h == nullptr) {
    if (params.debug >= 2) {
      char dotted[32];
      toDottedDecimal(ntohl(from->sin_addr.s_addr), dotted);
      log_debug(2, "Bad host message from %s dropped\n", dotted);
    }
    return;
  }
  // Our own announcement, come back by loop-back or broadcast. Compared
  // after the name's cut, so that an over-long name can never land on the
  // local host's own slot.
  if (strcmp(h->name, myhost.name) == 0) {
    freeHost(h);
    return;
  }
  for (int i = 0; i < h->numifs; i++) {
    interface *ifp = &h->hostifs[i];
    if (ifp->myAddr.sin_addr.s_addr == from->sin_addr.s_addr) {
      ifp->lastpkt = h->lastseen;
      ifp->tqTimedout = 0;
    }
  }
  if (trusted)
    h->flags |= TRUSTED;
  else
    h->flags &= ~TRUSTED;

  bool stored = true;
  int victim = -1;
  gm_verdict verdict = GM_TAKE;
  gm_trustmark was{};
  int secret = signatureLoaded();
  ZV_MUTEX_LOCK(&gmLock);
  host **slot = findHostbyName(h->name);
  if (slot != nullptr && *slot != &myhost) {
    host *old = *slot;
    gm_trustmark *mark = markOf((int)(slot - hostList), h->name);
    was = *mark;
    verdict = judgeAnnouncement(mark, old, h, trusted, secret, h->lastseen);
    if (verdict == GM_TAKE) {
      noteAnnouncement(mark, h, trusted, h->lastseen);
      carryOver(h, old);
      *slot = h;
      freeHost(old);
    } else {
      refused[verdict]++;
      stored = false;
    }
  } else if (slot != nullptr || numhosts < 1) {
    stored = false;  // never in the local host's slot, nor before start-up
  } else if (numhosts < MAXHOSTS ||
             (trusted && (victim = untrustedSlot()) > 0)) {
    int at = victim > 0 ? victim : numhosts;
    if (victim > 0) {
      host *old = hostList[victim];
      log_error(0, 0, "Group full: untrusted host %s gives way to trusted host %s\n",
                old->name, h->name);
      hostList[victim] = h;
      freeHost(old);
    } else {
      hostList[numhosts] = h;
      // Atomic: groupNumHosts reads the count without the lock.
      __atomic_store_n(&numhosts, numhosts + 1, __ATOMIC_RELAXED);
    }
    noteAnnouncement(markOf(at, h->name), h, trusted, h->lastseen);
    makeHostMessage(bcastbuf, GM_BUFSIZE);
    ssize_t rc = sendto(sock, bcastbuf, strlen(bcastbuf), 0,
                        (const struct sockaddr *)from, sizeof *from);
    int err = errno;
    if (params.debug >= 2) {
      char dotted[32];
      toDottedDecimal(ntohl(from->sin_addr.s_addr), dotted);
      log_debug(2, "First time %s sendto %d\n", dotted, (int)rc);
    }
    if (rc < 0)
      log_error_limited(&sendFailed, "%s: %s\n", "hostMessage:sendto", strerror(err));
  } else {
    log_error_limited(&tableFull, "Too many hosts in group. Increase MAXHOSTS\n");
    stored = false;
  }
  ZV_MUTEX_UNLOCK(&gmLock);

  if (verdict != GM_TAKE) logRefusal(verdict, h, was, from);
  if (params.debug) dumpHost(h, from);
  if (!stored) freeHost(h);
}

int32_t announcedTime(const host *h) {
  return (int32_t)((uint32_t)h->lastseen + (uint32_t)h->timeoff);
}

gm_verdict judgeAnnouncement(const gm_trustmark *mark, const host *stored, const host *h,
                             int trusted, int secret, time_t now) {
  if (!secret) return GM_TAKE;
  if (!trusted) {
    bool alive = stored != nullptr && (stored->flags & TRUSTED) &&
                 now - stored->lastseen <= 3 * (time_t)stored->period;
    return alive ? GM_IMPERSONATION : GM_TAKE;
  }
  if (mark == nullptr || !mark->known) return GM_TAKE;
  int32_t s = (int32_t)h->starttime, t = announcedTime(h);
  if (after(s, mark->start)) return GM_TAKE;
  if (s == mark->start) {
    if (after(t, mark->time)) return GM_TAKE;
    bool sameSending = t == mark->time && now >= mark->first && now - mark->first <= 1;
    return sameSending ? GM_TAKE : GM_REPLAY;
  }
  return after(t, mark->highest) ? GM_TAKE : GM_REPLAY;
}

void noteAnnouncement(gm_trustmark *mark, const host *h, int trusted, time_t now) {
  if (!trusted) return;
  int32_t s = (int32_t)h->starttime, t = announcedTime(h);
  if (!mark->known || s != mark->start || t != mark->time) mark->first = now;
  if (!mark->known || after(t, mark->highest)) mark->highest = t;
  mark->known = 1;
  mark->start = s;
  mark->time = t;
}

unsigned long refusedAnnouncements(gm_verdict v) {
  return v >= 0 && v < GM_VERDICTS ? refused[v] : 0;
}

void forgetAnnouncements(void) {
  memset(slotMarks, 0, sizeof slotMarks);
  memset(refused, 0, sizeof refused);
}

}  // extern "C"
