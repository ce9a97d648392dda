// query.cc - the token and terminal lookups: one engine that builds the query
// table from the group table, asks every entry over UDP with retries, reaps
// the replies and writes what it learnt back. The two lookups differ only in
// the hooks and texts of their queryKind.
#include <arpa/inet.h>
#include <errno.h>
#include <float.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "placement/placement.h"
#include "placement/query_engine.h"

namespace {

constexpr int kStartGrace = GM_START_GRACE;
constexpr int kRetryInterval = GM_PASS_WINDOW;
constexpr int kTermRetries = GM_LOOKUP_PASSES;

void dotted(uint32_t addr, char out[16]) { toDottedDecimal(ntohl(addr), out); }

// Interface names fill all 16 bytes when they are that long.
void ifName(const interface *ifp, char *out) {
  memcpy(out, ifp->name, sizeof ifp->name);
  out[sizeof ifp->name] = '\0';
}

// Appends one line of n bytes to the list text, or nothing when the whole
// line does not fit: a cut line would read as a different answer.
void listAppend(queryRun *run, const char *line, size_t n) {
  if (run->buf == nullptr || run->buflen == 0) return;
  size_t used = strnlen(run->buf, run->buflen);
  if (used >= run->buflen || used + n + 1 > run->buflen) return;
  memcpy(run->buf + used, line, n);
  run->buf[used + n] = '\0';
}

// Characters gmPutDec and gmPutHex write.
size_t decLen(int32_t v) {
  char b[12];
  return (size_t)(gmPutDec(b, v) - b);
}
size_t hexLen(uint32_t v) {
  char b[8];
  return (size_t)(gmPutHex(b, v) - b);
}

// Checks that a query text of n characters fits buf with the signature
// trailer and its NUL; "" in buf when it does not.
bool queryFits(char *buf, size_t buflen, size_t n) {
  if (n + GM_SIGLEN + 1 <= buflen) return true;
  if (buflen > 0) buf[0] = '\0';
  return false;
}

// Sends a composed and signed query; a lost transmission is only reported.
void sendQuery(int fd, const char *text, uint32_t addr, const char *sentLog,
               const char *label) {
  struct sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons((uint16_t)params.gmport);
  to.sin_addr.s_addr = addr;
  ssize_t sent = sendto(fd, text, strlen(text), 0, (struct sockaddr *)&to,
                        sizeof to);
  int err = errno;
  if (params.debug >= 1) {  // the address is formatted only for the log
    char ad[16];
    dotted(addr, ad);
    log_debug(1, sentLog, (int)sent, ad);
  }
  if (sent < 0) log_error(0, 0, "%s: %s\n", label, strerror(err));
}

// ---- What a reply means ------------------------------------------------

void tokenSend(int fd, const queryRun *run, uint32_t addr, int ix) {
  tokenQuery(fd, run->ctoken, run->key, addr, ix);
}

int tokenTake(queryRun *run, hostifreply *e, queryReply *r, int8_t *state) {
  if (r->ctoken != nullptr &&
      strcmp(r->ctoken, run->ctoken != nullptr ? run->ctoken : "") != 0)
    return 0;
  if (r->time > 0) r->time = (int32_t)((int64_t)r->time - e->hcopy.timeoff);
  if (r->dpy >= 0 && r->time > run->maxtime) {
    run->maxtime = r->time;
    if (run->target != nullptr) *run->target = r->at;
  }
  e->hcopy.load = r->load;
  e->hcopy.sessions = r->sessions;
  e->hcopy.idles = r->idles;
  *state = r->dpy < 0 ? -1 : 0;
  return 1;
}

// "<name> <dpy> <time> <offline>\n", or with -1 and the entry's state for
// an entry without reply; written by hand, as it is once per member.
void tokenListLine(queryRun *run, const hostifreply *e, const queryReply *r) {
  int offline = (e->hcopy.flags & OFFLINE) ? 1 : 0;
  char line[sizeof e->hcopy.name + 3 * 12 + 4];
  char *p = gmPutStr(line, e->hcopy.name, strnlen(e->hcopy.name, sizeof e->hcopy.name));
  *p++ = ' ';
  p = gmPutDec(p, r != nullptr ? r->dpy : -1);
  *p++ = ' ';
  p = gmPutDec(p, r != nullptr ? r->time : e->state);
  *p++ = ' ';
  p = gmPutDec(p, offline);
  *p++ = '\n';
  listAppend(run, line, (size_t)(p - line));
}

void termSend(int fd, const queryRun *run, uint32_t addr, int ix) {
  termQuery(fd, run->key, addr, ix);
}

// Every reply that has the terminal moves the answer: the last one wins.
int termTake(queryRun *run, hostifreply *, queryReply *r, int8_t *state) {
  if (r->has != 0 && run->target != nullptr) *run->target = r->at;
  *state = r->has != 0 ? 0 : -1;
  return 1;
}

// ---- The engine --------------------------------------------------------

void readPair(queryReply *r, const char *key, const char *val) {
  if (strcmp(key, "at") == 0) {
    r->at = strtoul32(val, 16);
    r->seen |= QR_AT;
  } else if (strcmp(key, "hostix") == 0) {
    r->hostix = strtol32(val, 10);
    r->seen |= QR_HOSTIX;
  } else if (strcmp(key, "time") == 0) {
    r->time = strtol32(val, 10);
    r->seen |= QR_TIME;
  } else if (strcmp(key, "dpy") == 0) {
    r->dpy = strtol32(val, 10);
    r->seen |= QR_DPY;
  } else if (strcmp(key, "has") == 0) {
    r->has = strtol32(val, 10);
    r->seen |= QR_HAS;
  } else if (strcmp(key, "load") == 0) {
    double d = strtodC(val, nullptr);
    if (d > FLT_MAX) d = FLT_MAX;
    if (d < -FLT_MAX) d = -FLT_MAX;
    r->load = (float)d;
  } else if (strcmp(key, "sessions") == 0) {
    r->sessions = strtol32(val, 10);
  } else if (strcmp(key, "idles") == 0) {
    r->idles = strtol32(val, 10);
  } else if (strcmp(key, "ctoken") == 0) {
    r->ctoken = val;
    r->seen |= QR_CTOKEN;
  }
}

}  // namespace

// One entry per (trusted host, interface) to ask, never more than counted up
// front.
extern "C" hostifreply *queryBuildTable(const queryKind *k, uint32_t client,
                                        int *count) {
  *count = 0;
  ZV_MUTEX_LOCK(&gmLock);
  int want = 0;
  for (int i = 0; i < numhosts && i < GM_HOSTSLOTS; i++)
    if (hostList[i] != nullptr && (hostList[i]->flags & TRUSTED))
      want += numIfsOnSubnet(hostList[i], client);
  hostifreply *tab = (hostifreply *)malloc(sizeof(hostifreply) *
                                           (size_t)(want > 0 ? want : 1));
  if (tab == nullptr) {
    log_error(0, 0, "%s", k->mallocFail);
    ZV_MUTEX_UNLOCK(&gmLock);
    return nullptr;
  }
  int n = 0;
  auto add = [&](host *h, int hostix, const interface *ifp) {
    if (n >= want) return false;
    hostifreply *e = &tab[n++];
    memset(e, 0, sizeof *e);
    e->ifAddr = ifp->myAddr.sin_addr.s_addr;
    e->state = -2;
    e->tqTimedout = ifp->tqTimedout;
    e->hostix = hostix;
    e->hcopy = *h;
    e->hcopy.hostifs = nullptr;  // the array is not ours once the lock goes
    e->hcopy.useifp = nullptr;
    return true;
  };
  // A client on a nimbar subnet of this server is not on a public network;
  // the local host comes first, so this is settled before any peer.
  int ispublic = 1;
  char nm[sizeof(interface::name) + 1];
  for (int i = 0; i < GM_HOSTSLOTS && hostList[i] != nullptr; i++) {
    host *h = hostList[i];
    if (!(h->flags & TRUSTED)) continue;
    log_debug(1, "\thost %x %x\n", h->hostAddr.s_addr, h->flags);
    const interface *lanifp = nullptr;
    int added = 0;
    for (int j = 0; j < h->numifs; j++) {
      const interface *ifp = &h->hostifs[j];
      uint32_t a = ifp->myAddr.sin_addr.s_addr;
      if (a == h->hostAddr.s_addr) lanifp = ifp;
      if (ifp->lastpkt == 0) continue;
      if (client != 0) {
        if (!onSubnet(ifp, client)) continue;
        if (i == 0) ispublic = ifp->flags & LAN;
      }
      if ((ifp->flags & LAN) && !(h->flags & LAN_OK)) continue;
      if (params.debug >= 1) {  // the name is copied only for the log
        ifName(ifp, nm);
        log_debug(1, "\t\tif %s adr %x\n", nm, a);
      }
      if (add(h, i, ifp)) added++;
    }
    if (added == 0 && lanifp != nullptr && ispublic == 1 &&
        (i == 0 || (h->flags & LAN_OK))) {
      ifName(lanifp, nm);
      log_debug(1, k->lanifLog, nm, lanifp->myAddr.sin_addr.s_addr);
      add(h, i, lanifp);
    }
  }
  ZV_MUTEX_UNLOCK(&gmLock);
  *count = n;
  return tab;
}

// What a lookup learnt goes back to the group table once it is over.
extern "C" void queryWriteBack(const queryKind *k, const hostifreply *tab,
                               int count) {
  ZV_MUTEX_LOCK(&gmLock);
  for (int i = 0; i < count; i++) {
    const hostifreply *e = &tab[i];
    if (e->hostix < 0 || e->hostix >= GM_HOSTSLOTS) continue;
    host *h = hostList[e->hostix];
    // A slot that a full table gave to a newcomer while the lookup ran.
    if (h == nullptr || strcmp(h->name, e->hcopy.name) != 0) continue;
    if (k->writeCounts) {
      if (e->hcopy.load >= 0) h->load = e->hcopy.load;
      if (e->hcopy.sessions >= 0) h->sessions = e->hcopy.sessions;
      if (e->hcopy.idles >= 0) h->idles = e->hcopy.idles;
    } else {
      h->load = e->hcopy.load;
    }
    for (int j = 0; j < h->numifs; j++) {
      if (h->hostifs[j].myAddr.sin_addr.s_addr == e->ifAddr) {
        h->hostifs[j].tqTimedout = e->tqTimedout;
        break;
      }
    }
  }
  ZV_MUTEX_UNLOCK(&gmLock);
}

// The one schedule of every lookup, the operator's command's too.
extern "C" int queryReap(queryRun *run, int numretries) {
  const queryKind *k = run->kind;
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) {
    log_error(0, 0, "%s", k->openFail);
    return -1;
  }
  struct sockaddr_in any;
  memset(&any, 0, sizeof any);
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_ANY);
  any.sin_port = 0;
  if (bind(fd, (struct sockaddr *)&any, sizeof any) < 0) {
    log_error(0, 0, "%s", k->bindFail);
    close(fd);
    return -1;
  }

  char ad[16];
  time_t endtime = gmSys.now() + kRetryInterval;
  run->expect = run->querycnt;
  run->maxtime = 0;
  int retrycnt = 0;
  while (run->expect > 0 && retrycnt < numretries) {
    time_t left = endtime - gmSys.now();
    if (left > kRetryInterval) {  // the clock went back: a fresh window
      endtime = gmSys.now() + kRetryInterval;
      left = kRetryInterval;
    }
    int wait = (int)left * 1000;
    if (wait <= 0 || retrycnt == 0) {
      for (int i = 0; i < run->querycnt; i++) {
        hostifreply *e = &run->tab[i];
        if (e->state != -2) continue;
        // Silent last time: one transmission, and no waiting for it.
        if (retrycnt > 0 && e->tqTimedout != 0) {
          run->expect--;
          continue;
        }
        if (retrycnt > 0 && params.debug >= 1) {
          dotted(e->ifAddr, ad);
          log_debug(1, k->retryLog, retrycnt, e->hcopy.name, ad);
        }
        k->send(fd, run, e->ifAddr, i);
      }
      if (run->expect == 0) break;
      endtime = gmSys.now() + kRetryInterval;
      wait = kRetryInterval * 1000;
      retrycnt++;
    }
    struct pollfd pfd = {fd, POLLIN, 0};
    if (gmSys.poll(&pfd, 1, wait) <= 0) continue;
    char text[GM_REPLYMAX + 1];
    ssize_t got = recv(fd, text, GM_REPLYMAX, 0);
    if (got < 0) continue;
    text[got] = '\0';
    queryHandleReply(run, text);
  }
  close(fd);

  for (int i = 0; i < run->querycnt; i++) {
    hostifreply *e = &run->tab[i];
    if (e->state != -2) continue;
    if (e->tqTimedout != 1) {
      dotted(e->ifAddr, ad);
      log_error(0, 0, k->timeoutLog, e->hcopy.name, ad);
    }
    e->tqTimedout = 1;
    if (k->listLine != nullptr) k->listLine(run, e, nullptr);
  }
  return 0;
}

extern "C" {

// A token reply must say where (at), when (time) and what (dpy): read with
// defaults it would be indistinguishable from a real "no session" answer, so
// a reply lacking one of them is ignored and its entry may time out. The
// same holds for a terminal reply without at or has.
const queryKind tokenKind = {
    "tokenR=",
    QR_AT | QR_HOSTIX | QR_TIME | QR_DPY,
    1,
    "collectSessions: malloc failed\n",
    "\t\tlanif %s adr %x\n",
    "Open of token socket failed",
    "Unable to bind token socket\n",
    "token query retry %d to host %s interface %s\n",
    "tokenReap reply: %s",
    "token query timed out to host %s interface %s\n",
    tokenSend,
    tokenTake,
    tokenListLine,
};

const queryKind termKind = {
    "termR=",
    QR_AT | QR_HOSTIX | QR_HAS,
    0,
    "doTermQs: malloc failed\n",
    "\t\tif %s adr %x\n",
    "Open of term socket failed",
    "Unable to bind term socket\n",
    "term query retry %d to host %s interface %s\n",
    "termReap reply: %s",
    "term query timed out to host %s interface %s\n",
    termSend,
    termTake,
    nullptr,
};

int queryHandleReply(queryRun *run, char *text) {
  const queryKind *k = run->kind;
  if (!chkSignature(text)) return -1;
  log_debug(1, k->replyLog, text);
  if (strncmp(text, k->replyKey, strlen(k->replyKey)) != 0) return -1;
  char *keys[GM_MAXPAIRS + 1];
  char *vals[GM_MAXPAIRS];
  int n = mkKeyPairs(text, keys, vals, GM_MAXPAIRS);
  if (n < 1) return -1;
  if (run->key != nullptr && strcmp(vals[0], run->key) != 0) return -1;

  queryReply r;
  memset(&r, 0, sizeof r);
  r.hostix = -1;
  r.load = -1.0f;
  r.sessions = -1;
  r.idles = -1;
  for (int i = 1; i < n; i++) readPair(&r, keys[i], vals[i]);
  if ((r.seen & k->required) != k->required) return -1;
  if (r.hostix < 0 || r.hostix >= run->querycnt) return -1;

  hostifreply *e = &run->tab[r.hostix];
  int8_t state;
  if (!k->take(run, e, &r, &state)) return -1;
  if (e->state == -2) {  // a repeated reply is neither counted nor listed
    run->expect--;
    e->tqTimedout = 0;
    e->state = state;
    if (k->listLine != nullptr) k->listLine(run, e, &r);
  }
  return r.hostix;
}

// The texts of GM_TOKENQ_FMT and GM_TERMQ_FMT, written by hand: a lookup
// composes one per entry and pass.
int tokenQCompose(char *buf, size_t buflen, const char *ctoken,
                  const char *itoken, uint32_t host, int hostix) {
  if (itoken == nullptr) itoken = "";
  if (ctoken == nullptr) ctoken = "";
  size_t il = strlen(itoken), cl = strlen(ctoken);
  size_t n = 7 + il + 4 + hexLen(host) + 8 + decLen(hostix) + 8 + cl + 1;
  if (!queryFits(buf, buflen, n)) return -1;
  char *p = gmPutStr(buf, "tokenQ=", 7);
  p = gmPutStr(p, itoken, il);
  p = gmPutStr(p, " at=", 4);
  p = gmPutHex(p, host);
  p = gmPutStr(p, " hostix=", 8);
  p = gmPutDec(p, hostix);
  p = gmPutStr(p, " ctoken=", 8);
  p = gmPutStr(p, ctoken, cl);
  p[0] = '\n';
  p[1] = '\0';
  return (int)n;
}

int termQCompose(char *buf, size_t buflen, const char *term, uint32_t host,
                 int hostix) {
  if (term == nullptr) term = "";
  size_t tl = strlen(term);
  size_t n = 6 + tl + 4 + hexLen(host) + 8 + decLen(hostix) + 1;
  if (!queryFits(buf, buflen, n)) return -1;
  char *p = gmPutStr(buf, "termQ=", 6);
  p = gmPutStr(p, term, tl);
  p = gmPutStr(p, " at=", 4);
  p = gmPutHex(p, host);
  p = gmPutStr(p, " hostix=", 8);
  p = gmPutDec(p, hostix);
  p[0] = '\n';
  p[1] = '\0';
  return (int)n;
}

void startDelay(void) {
  for (;;) {
    ZV_MUTEX_LOCK(&gmLock);
    time_t start = myhost.starttime;
    ZV_MUTEX_UNLOCK(&gmLock);
    time_t now = gmSys.now();
    // Not started yet (or the clock went back): wait a whole grace period.
    time_t up = (start > 0 && now > start) ? now - start : 0;
    if (up >= kStartGrace) return;
    gmSys.poll(nullptr, 0, (int)(kStartGrace - up) * 1000);
  }
}

void tokenQuery(int tokenFD, const char *ctoken, const char *itoken,
                uint32_t host, int hostix) {
  if (tokenFD < 0) return;
  char buf[GM_TOKENQ_BUF];
  if (tokenQCompose(buf, sizeof buf, ctoken, itoken, host, hostix) < 0) return;
  addSignature(buf);
  sendQuery(tokenFD, buf, host, "tokenQuery: sent %d bytes to %s\n",
            "tokenQuery:sendto");
}

void termQuery(int termFD, const char *term, uint32_t host, int hostix) {
  if (termFD < 0) return;
  char buf[GM_TERMQ_BUF];
  if (termQCompose(buf, sizeof buf, term, host, hostix) < 0) return;
  addSignature(buf);
  sendQuery(termFD, buf, host, "termQuery: sent %d bytes to %s\n",
            "termQuery:sendto");
}

int tokenReap(const char *ctoken, const char *itoken, int querycnt,
              uint32_t *target, char *buf, size_t buflen,
              hostifreply *hostifrep, int numretries) {
  queryRun run;
  memset(&run, 0, sizeof run);
  run.kind = &tokenKind;
  run.key = itoken;
  run.ctoken = ctoken;
  run.tab = hostifrep;
  run.querycnt = querycnt;
  run.target = target;
  run.buf = buf;
  run.buflen = buflen;
  return queryReap(&run, numretries);
}

int termReap(const char *term, int querycnt, uint32_t *target,
             hostifreply *hostifrep, int numretries) {
  queryRun run;
  memset(&run, 0, sizeof run);
  run.kind = &termKind;
  run.key = term;
  run.tab = hostifrep;
  run.querycnt = querycnt;
  run.target = target;
  return queryReap(&run, numretries);
}

// A token or terminal id travels as one value of a query line: a blank or a
// newline in it would split the pair or end the line, an "=" would move the
// value, and so would ask something else than was meant. Such an id is not
// sent at all. Anything else is carried as it is, "#" too: only "#sig="
// starts a trailer, and that cannot appear without an "=".
int querySendable(const char *id) {
  for (const char *p = id; *p != '\0'; p++)
    if (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' ||
        *p == '\f' || *p == '=')
      return 0;
  return 1;
}

static bool sendable(const char *what, const char *id) {
  if (querySendable(id)) return true;
  log_error(0, 0, "%s: cannot ask for '%.64s': it holds a blank, a newline or '='\n",
            what, id);
  return false;
}

int collectSessions(const char *ctoken, const char *itoken, const char *ip,
                    int numretries, uint32_t *target, char *buf,
                    size_t buflen) {
  if (ip == nullptr) ip = "";
  uint32_t client = ip[0] != '\0' ? inet_addr(ip) : 0;
  log_debug(1, "collectSessions '%s' '%s' '%s' %x\n", ctoken ? ctoken : "",
            itoken ? itoken : "", ip, client);
  if (!sendable("collectSessions", ctoken ? ctoken : "") ||
      !sendable("collectSessions", itoken ? itoken : ""))
    return -1;
  int count;
  hostifreply *tab = queryBuildTable(&tokenKind, client, &count);
  if (tab == nullptr) return -1;
  int rc = tokenReap(ctoken, itoken, count, target, buf, buflen, tab,
                     numretries);
  queryWriteBack(&tokenKind, tab, count);
  free(tab);
  return rc;
}

int doTermQs(const char *term, const char *ip, int numretries,
             uint32_t *target) {
  if (ip == nullptr) ip = "";
  if (term == nullptr) term = "";
  uint32_t client = ip[0] != '\0' ? inet_addr(ip) : 0;
  log_debug(1, "doTermQs '%s' '%s' %x\n", term, ip, client);
  // A longer id might not fit the query with its trailer for every index.
  if (strlen(term) > GM_TERMMAX) {
    log_error(0, 0, "doTermQs: terminal id too long %.43s\n", term);
    return -1;
  }
  if (!sendable("doTermQs", term)) return -1;
  int count;
  hostifreply *tab = queryBuildTable(&termKind, client, &count);
  if (tab == nullptr) return -1;
  int rc = termReap(term, count, target, tab, numretries);
  queryWriteBack(&termKind, tab, count);
  free(tab);
  return rc;
}

int findPrimary(const char *term, const char *ip, const char *force,
                char *buf) {
  (void)force;  // accepted for the daemon's interface, never consulted
  startDelay();
  buf[0] = '\0';
  uint32_t target = 0;
  if (ip == nullptr) ip = "";
  uint32_t client = inet_addr(ip);
  ZV_MUTEX_LOCK(&gmLock);
  uint32_t myadr = matchHostSubnet(&myhost, client);
  ZV_MUTEX_UNLOCK(&gmLock);
  int rc = doTermQs(term, ip, kTermRetries, &target);
  if (target != 0) snprintf(buf, 9, "%x", ntohl(target));
  if (params.debug) {
    char t[16], m[16];
    dotted(target, t);
    dotted(myadr, m);
    log_debug(1, "primary %s addr %s (%s)\n", t, m, buf);
  }
  return rc;
}

}  // extern "C"
