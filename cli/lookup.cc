// lookup.cc - `zvgm lookup` asks every member heard where a user's session
// runs, with the library's own query table, datagrams and reply reading, and
// shows each answer and the choice the library would make; `zvgm ask` sends
// one query to one server and decodes its reply.
#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <type_traits>

#include "commands.h"
#include "placement/placement.h"
#include "placement/query_engine.h"

namespace zvgm {

namespace {

constexpr int kPasses = GM_LOOKUP_PASSES;  // sending passes, as the server choice makes
constexpr double kAskWait = 3.0;  // seconds `ask` waits for its reply
constexpr double kLookupListen = 30.0;

using Clock = std::chrono::steady_clock;

// What one asked interface answered, caught as the library's engine takes
// the reply (the engine itself keeps only what the server choice needs).
struct Answer {
  bool got = false;
  queryReply r{};  // time already brought to the local clock
  double ms = 0;   // from the first transmission to the reply
};

// A run of the library's engine with what the hook below keeps beside it.
// The engine hands the hook the queryRun, which is this record's first
// member, so the hook finds the rest from it without any file-level state.
struct KeptRun {
  queryRun run;                // first: the hook's run pointer is this record
  queryKind kind;              // base with the hook below
  const queryKind *base;       // tokenKind or termKind
  std::vector<Answer> *answers;
  Clock::time_point sentAt;
};
static_assert(std::is_standard_layout_v<KeptRun>);

int takeAndKeep(queryRun *run, hostifreply *e, queryReply *r, int8_t *state) {
  KeptRun *k = reinterpret_cast<KeptRun *>(run);
  int took = k->base->take(run, e, r, state);
  size_t ix = (size_t)(e - run->tab);
  if (took && e->state == -2 && ix < k->answers->size()) {
    Answer &a = (*k->answers)[ix];
    a.got = true;
    a.r = *r;
    a.r.ctoken = nullptr;  // points into the receive buffer
    a.ms = std::chrono::duration<double, std::milli>(Clock::now() - k->sentAt).count();
  }
  return took;
}

// Readies k to ask for key among tab's count entries, keeping every answer
// in got (count long).
void startRun(KeptRun *k, const queryKind &base, const std::string &key,
              const std::string &ctoken, hostifreply *tab, int count, uint32_t *target,
              std::vector<Answer> *got) {
  memset(&k->run, 0, sizeof k->run);
  k->base = &base;
  k->kind = base;
  k->kind.take = takeAndKeep;
  k->kind.listLine = nullptr;
  k->answers = got;
  k->run.kind = &k->kind;
  k->run.key = key.c_str();
  k->run.ctoken = ctoken.c_str();
  k->run.tab = tab;
  k->run.querycnt = count;
  k->run.expect = count;
  k->run.target = target;
  k->sentAt = Clock::now();
}

// A token or terminal id travels as one value of a query line.
bool sendable(const std::string &what, const std::string &id, size_t max, std::string *err) {
  if (id.size() > max) {
    *err = what + " longer than " + std::to_string(max) + " characters";
    return false;
  }
  if (!querySendable(id.c_str())) {
    *err = what + " '" + id + "' holds a blank, a newline or '=' and cannot travel in a query";
    return false;
  }
  return true;
}

std::string answerWord(const Answer &a) {
  if (!a.got) return "no answer";
  if (a.r.dpy == -2) return "idle display";
  if (a.r.dpy < 0) return "no session";
  return "display " + std::to_string(a.r.dpy);
}

std::string hostName(uint32_t addr) {
  host *h = findHostbyAddr(in_addr{addr});
  return h != nullptr ? h->name : dotted(addr);
}

int openSocket(std::string *err) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) *err = std::string("cannot open a UDP socket: ") + strerror(errno);
  return fd;
}

// Why a member got no weight in the least-loaded draw.
std::string whyNotEligible(const host *h, time_t now, const std::vector<hostifreply> &tab,
                           const std::vector<Answer> &got) {
  if (!(h->flags & TRUSTED)) return "not trusted";
  if (h->flags & OFFLINE) return "offline";
  bool heard = false;
  for (int i = 0; i < h->numifs; i++)
    heard = heard || (h->hostifs[i].lastpkt != 0 && heardRecently(h, &h->hostifs[i], now));
  if (!heard) return "not alive";
  for (size_t i = 0; i < tab.size(); i++)
    if (strcmp(tab[i].hcopy.name, h->name) == 0 && !got[i].got) return "did not answer";
  return "not reachable from the terminal's network";
}

}  // namespace

int runLookup(const Options &o, const std::string &ctoken, const std::string &itoken) {
  std::string err;
  uint32_t client = 0;
  if (!o.term.empty()) {
    in_addr a;
    if (inet_aton(o.term.c_str(), &a) == 0) {
      fail("not an IPv4 address: " + o.term);
      return kExitError;
    }
    client = a.s_addr;
  }
  if (!sendable("ctoken", ctoken, GM_TOKENMAX, &err) ||
      !sendable("itoken", itoken, GM_TOKENMAX, &err)) {
    fail(err);
    return kExitError;
  }
  Roster r;
  if (!r.open(o, &err)) {
    fail(err);
    return kExitError;
  }
  // Without --wait: until every member was heard twice.
  r.listen(o.wait >= 0 ? o.wait : kLookupListen, o.wait < 0);
  if (r.members.empty()) {
    fail("nothing heard on UDP port " + std::to_string(o.port) + ": no member to ask");
    return kExitNothing;
  }
  // The group table as a server that heard the same would hold it; this
  // command is no member itself, so slot 0 stays an empty, untrusted record.
  // The records belong to the roster: the table is emptied before it goes.
  struct TableGuard {
    ~TableGuard() {
      for (int i = 0; i < GM_HOSTSLOTS; i++) hostList[i] = nullptr;
      numhosts = 0;
    }
  } guard;
  memset(&myhost, 0, sizeof myhost);
  hostList[0] = &myhost;
  numhosts = 1;
  for (Member &m : r.members)
    if (numhosts < MAXHOSTS) hostList[numhosts++] = m.h;

  int count = 0;
  hostifreply *raw = queryBuildTable(&tokenKind, client, &count);
  if (raw == nullptr) {
    fail("out of memory");
    return kExitError;
  }
  std::vector<hostifreply> tab(raw, raw + count);
  free(raw);
  if (count == 0) {
    fail("no member to ask: none of the " + std::to_string(r.members.size()) +
         " members heard is trusted" + (r.secretLoaded() ? " with this secret" : "") +
         " and reachable" + (client ? " from " + o.term : ""));
    return kExitNothing;
  }

  // The library's own schedule and write-back, as a server's lookup runs them.
  std::vector<Answer> got((size_t)count);
  uint32_t target = 0;
  KeptRun k;
  startRun(&k, tokenKind, itoken, ctoken, tab.data(), count, &target, &got);
  if (queryReap(&k.run, kPasses) < 0) {
    fail("cannot open a UDP socket for the lookup (see above)");
    return kExitError;
  }
  queryWriteBack(&tokenKind, tab.data(), count);
  time_t now = gmSys.now();

  std::string choice, reason;
  uint32_t chosen = target;
  if (target != 0) {
    choice = hostName(target);
    for (size_t i = 0; i < tab.size(); i++)
      if (got[i].got && got[i].r.at == target && got[i].r.dpy >= 0)
        reason = "it holds the newest live session (display " + std::to_string(got[i].r.dpy) +
                 ", " + ago(now - got[i].r.time) + " old)";
  } else {
    chosen = leastLoadedHost(in_addr{client});
    int32_t total = 0;
    for (int i = 1; i < numhosts; i++) total += hostList[i]->desire;
    std::string weights, left;
    for (int i = 1; i < numhosts; i++) {
      const host *h = hostList[i];
      if (h->desire > 0) {
        if (!weights.empty()) weights += ", ";
        weights += std::string(h->name) + " " +
                   std::to_string(h->desire) + " (" +
                   std::to_string((int)(100.0 * h->desire / total + 0.5)) + "%)";
      } else {
        if (!left.empty()) left += "; ";
        left += std::string(h->name) + " " +
                whyNotEligible(h, now, tab, got);
      }
    }
    if (chosen != 0) {
      choice = hostName(chosen);
      reason = "no member holds a live session; drawn by load from " + weights +
               " (with load balancing on; without it the asking server starts the session)";
    } else {
      choice = "none";
      reason = "no member holds a live session and none can take one";
    }
    if (!left.empty()) reason += "; not eligible: " + left;
  }

  int answered = 0;
  for (const Answer &a : got) answered += a.got;
  if (o.json) {
    std::ostringstream j;
    j << "{\"ctoken\":" << jsonText(ctoken) << ",\"itoken\":" << jsonText(itoken)
      << ",\"terminal\":" << (o.term.empty() ? "null" : jsonText(o.term)) << ",\"asked\":[";
    for (size_t i = 0; i < tab.size(); i++) {
      const Answer &a = got[i];
      j << (i ? "," : "") << "{\"member\":" << jsonText(tab[i].hcopy.name)
        << ",\"address\":" << jsonText(dotted(tab[i].ifAddr))
        << ",\"answer\":" << jsonText(answerWord(a));
      if (a.got) {
        j << ",\"display\":" << a.r.dpy << ",\"session_age\":";
        if (a.r.time > 0) j << (now - a.r.time); else j << "null";
        char l[32];
        snprintfC(l, sizeof l, "%.1f", (double)a.r.load);
        j << ",\"load\":" << l << ",\"sessions\":" << a.r.sessions << ",\"idles\":" << a.r.idles
          << ",\"ms\":" << (int)(a.ms + 0.5);
      }
      j << "}";
    }
    j << "],\"choice\":{\"member\":" << (chosen ? jsonText(choice) : "null")
      << ",\"address\":" << (chosen ? jsonText(dotted(chosen)) : "null")
      << ",\"reason\":" << jsonText(reason) << "}}\n";
    fputs(j.str().c_str(), stdout);
  } else {
    std::string notAsked;
    for (const Member &m : r.members) {
      bool asked = false;
      for (const hostifreply &e : tab) asked = asked || strcmp(e.hcopy.name, m.h->name) == 0;
      if (!asked)
        notAsked += std::string(notAsked.empty() ? "" : ", ") + m.h->name +
                    ((m.h->flags & TRUSTED) ? " (no interface to ask)" : " (not trusted)");
    }
    if (!notAsked.empty()) printf("not asked: %s\n", notAsked.c_str());
    printf("%-16s %-15s %-14s %-12s %5s %-9s %s\n", "MEMBER", "ASKED", "ANSWER", "SESSION AGE",
           "LOAD", "SESS/IDLE", "TIME");
    for (size_t i = 0; i < tab.size(); i++) {
      const Answer &a = got[i];
      std::string age = a.got && a.r.time > 0 && a.r.dpy != -1 ? ago(now - a.r.time) : "-";
      char l[32] = "-", t[32] = "-";
      if (a.got) {
        snprintfC(l, sizeof l, "%.1f", (double)a.r.load);
        snprintf(t, sizeof t, "%.1f ms", a.ms);
      }
      std::string si = a.got ? std::to_string(a.r.sessions) + "/" + std::to_string(a.r.idles) : "-";
      printf("%-16s %-15s %-14s %-12s %5s %-9s %s\n", tab[i].hcopy.name,
             dotted(tab[i].ifAddr).c_str(), answerWord(a).c_str(), age.c_str(), l, si.c_str(), t);
    }
    printf("choice: %s%s: %s\n", choice.c_str(),
           chosen ? (" (" + dotted(chosen) + ")").c_str() : "", reason.c_str());
  }
  return answered > 0 ? kExitOk : kExitNothing;
}

int runAsk(const Options &o, const std::string &server, const std::vector<std::string> &what) {
  std::string err;
  auto usage = [](const std::string &m) {
    fail(m + " (zvgm ask SERVER token CTOKEN [ITOKEN] | term ID | server [SEQ])");
    return kExitError;
  };
  if (what.empty()) return usage("ask needs a query kind");
  const std::string &kind = what[0];
  struct in_addr dest;
  if (GetIPAddr(server.c_str(), &dest) != 0) {
    fail("cannot resolve " + server);
    return kExitError;
  }
  if (!loadSecret(o.secret, &err)) {
    fail(err);
    return kExitError;
  }
  params.gmport = o.port;
  char q[GM_TOKENQ_BUF];
  hostifreply entry;
  memset(&entry, 0, sizeof entry);
  entry.ifAddr = dest.s_addr;
  entry.state = -2;
  snprintf(entry.hcopy.name, sizeof entry.hcopy.name, "%s", server.c_str());
  std::string key, ctoken;
  if (kind == "token") {
    if (what.size() < 2 || what.size() > 3) return usage("token needs CTOKEN [ITOKEN]");
    ctoken = what[1];
    key = what.size() > 2 ? what[2] : "";
    if (!sendable("ctoken", ctoken, GM_TOKENMAX, &err) || !sendable("itoken", key, GM_TOKENMAX, &err)) {
      fail(err);
      return kExitError;
    }
    tokenQCompose(q, sizeof q, ctoken.c_str(), key.c_str(), dest.s_addr, 0);
    addSignature(q);
  } else if (kind == "term") {
    if (what.size() != 2) return usage("term needs the terminal id");
    key = what[1];
    if (!sendable("terminal id", key, GM_TERMMAX, &err)) {
      fail(err);
      return kExitError;
    }
    termQCompose(q, GM_TERMQ_BUF, key.c_str(), dest.s_addr, 0);
    addSignature(q);
  } else if (kind == "server") {
    if (what.size() > 2) return usage("server takes at most a sequence number");
    int seq = what.size() > 1 ? strtol32(what[1].c_str(), 10) : 1;
    // Server queries go unsigned: no responder looks for a trailer on them.
    snprintf(q, sizeof q, GM_SERVERQ_FMT, seq);
  } else {
    return usage("unknown query kind '" + kind + "'");
  }

  int fd = openSocket(&err);
  if (fd < 0) {
    fail(err);
    return kExitError;
  }
  struct sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons((uint16_t)o.port);
  to.sin_addr = dest;
  auto t0 = Clock::now();
  if (sendto(fd, q, strlen(q), 0, (struct sockaddr *)&to, sizeof to) < 0) {
    fail("cannot send to " + dotted(dest.s_addr) + ": " + strerror(errno));
    close(fd);
    return kExitError;
  }
  printf("sent to %s:%d: %s", dotted(dest.s_addr).c_str(), o.port, q);
  double wait = o.wait >= 0 ? o.wait : kAskWait;
  struct pollfd p = {fd, POLLIN, 0};
  char text[GM_BUFSIZE];
  ssize_t n = -1;
  struct sockaddr_in from;
  socklen_t fl = sizeof from;
  if (poll(&p, 1, (int)(wait * 1000)) > 0)
    n = recvfrom(fd, text, sizeof text - 1, 0, (struct sockaddr *)&from, &fl);
  close(fd);
  if (n < 0) {
    fail("no reply from " + dotted(dest.s_addr) + ":" + std::to_string(o.port) + " within " +
         ago((time_t)wait));
    return kExitNothing;
  }
  text[n] = '\0';
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  printf("reply from %s:%d after %.1f ms, %zd bytes: %s%s", dotted(from.sin_addr.s_addr).c_str(),
         ntohs(from.sin_port), ms, n, text,
         n > 0 && text[n - 1] == '\n' ? "" : "\n");
  size_t before = strlen(text);
  int ok = chkSignature(text);
  bool hadTrailer = strlen(text) < before;
  Trust trust = !hadTrailer ? kUnsigned
                : !o.secret.empty() ? (ok ? kValid : kOtherSecret)
                                    : kSignedUnchecked;
  printf("  signature     %s%s\n", trustWord(trust),
         !ok && !o.secret.empty() && kind != "server" ? " (a lookup would drop this reply)" : "");

  if (kind == "server") {
    char *keys[GM_MAXPAIRS + 1], *vals[GM_MAXPAIRS];
    int np = mkKeyPairs(text, keys, vals, GM_MAXPAIRS);
    if (np < 1 || strcmp(keys[0], "serverR") != 0) {
      fail("the reply is not a server reply");
      return kExitNothing;
    }
    printf("  address       %s (%s, first octet first)\n",
           dotted(htonl(strtoul32(vals[0], 16))).c_str(), vals[0]);
    for (int i = 1; i < np; i++)
      if (strcmp(keys[i], "port") == 0 || strcmp(keys[i], "seq") == 0)
        printf("  %-13s %d\n", keys[i], strtol32(vals[i], 10));
    return kExitOk;
  }
  // Token and terminal replies are read by the lookup's own reader; the
  // verdict is shown above, so the reader sees the text as unsigned.
  resetSignature();
  std::vector<Answer> got(1);
  uint32_t target = 0;
  KeptRun k;
  startRun(&k, kind == "token" ? tokenKind : termKind, key, ctoken, &entry, 1, &target, &got);
  k.sentAt = t0;
  int ix = queryHandleReply(&k.run, text);
  if (ix != 0) {
    fail("the reply does not answer this query (other kind, token, index or missing keys)");
    return kExitNothing;
  }
  const queryReply &a = got[0].r;
  printf("  at            %s (%x as it travels)\n", dotted(a.at).c_str(), a.at);
  if (kind == "term") {
    printf("  has terminal  %s\n", a.has ? "yes" : "no");
    return kExitOk;
  }
  printf("  answer        %s\n", answerWord(got[0]).c_str());
  if (a.time > 0)
    printf("  session file  %s old (its clock)\n", ago(gmSys.now() - a.time).c_str());
  char l[32];
  snprintfC(l, sizeof l, "%.1f", (double)a.load);
  printf("  load          %s\n  sessions      %d\n  idles         %d\n", l, a.sessions, a.idles);
  return kExitOk;
}

}  // namespace zvgm
