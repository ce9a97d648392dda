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
#include <type_traits>

#include "commands.h"
#include "serve.h"
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

// The group table as a server that heard the same would hold it; this
// command is no member itself, so slot 0 stays an empty, untrusted record.
// The records belong to the roster: the table is emptied when this goes.
struct BorrowedTable {
  explicit BorrowedTable(Roster &r) {
    memset(&myhost, 0, sizeof myhost);
    hostList[0] = &myhost;
    numhosts = 1;
    for (Member &m : r.members)
      if (numhosts < MAXHOSTS) hostList[numhosts++] = m.h;
  }
  ~BorrowedTable() {
    for (int i = 0; i < GM_HOSTSLOTS; i++) hostList[i] = nullptr;
    numhosts = 0;
  }
};

// The terminal's address (0 for none) and the tokens, checked before
// anything is heard; false when the command cannot run.
bool lookupArgs(const Options &o, const std::string &ctoken, const std::string &itoken,
                uint32_t *client) {
  std::string err;
  *client = 0;
  if (!o.term.empty()) {
    in_addr a;
    if (inet_aton(o.term.c_str(), &a) == 0) {
      fail("not an IPv4 address: " + o.term);
      return false;
    }
    *client = a.s_addr;
  }
  if (!sendable("ctoken", ctoken, GM_TOKENMAX, &err) ||
      !sendable("itoken", itoken, GM_TOKENMAX, &err)) {
    fail(err);
    return false;
  }
  return true;
}

// What a lookup found: every entry asked with its answer, and the choice.
struct Lookup {
  std::vector<hostifreply> tab;
  std::vector<Answer> got;
  uint32_t chosen = 0;
  std::string choice, reason;
  time_t now = 0;
};

// Asks the table's entries with the library's own schedule and write-back,
// as a server's lookup runs them; false when no socket could be opened.
bool ask(Lookup *l, const std::string &ctoken, const std::string &itoken, uint32_t *target) {
  l->got.assign(l->tab.size(), Answer{});
  KeptRun k;
  startRun(&k, tokenKind, itoken, ctoken, l->tab.data(), (int)l->tab.size(), target, &l->got);
  if (queryReap(&k.run, kPasses) < 0) return false;
  queryWriteBack(&tokenKind, l->tab.data(), (int)l->tab.size());
  l->now = gmSys.now();
  return true;
}

// The choice when no member holds a session: the library's least-loaded
// draw, explained by each member's weight or why it has none.
void drawByLoad(Lookup *l, uint32_t client) {
  l->chosen = leastLoadedHost(in_addr{client});
  int32_t total = 0;
  for (int i = 1; i < numhosts; i++) total += hostList[i]->desire;
  std::string weights, left;
  for (int i = 1; i < numhosts; i++) {
    const host *h = hostList[i];
    if (h->desire > 0) {
      if (!weights.empty()) weights += ", ";
      weights += std::string(h->name) + " " + std::to_string(h->desire) + " (" +
                 std::to_string((int)(100.0 * h->desire / total + 0.5)) + "%)";
    } else {
      if (!left.empty()) left += "; ";
      left += std::string(h->name) + " " + whyNotEligible(h, l->now, l->tab, l->got);
    }
  }
  if (l->chosen != 0) {
    l->choice = hostName(l->chosen);
    l->reason = "no member holds a live session; drawn by load from " + weights +
                " (with load balancing on; without it the asking server starts the session)";
  } else {
    l->choice = "none";
    l->reason = "no member holds a live session and none can take one";
  }
  if (!left.empty()) l->reason += "; not eligible: " + left;
}

void choose(Lookup *l, uint32_t target, uint32_t client) {
  if (target == 0) return drawByLoad(l, client);
  l->chosen = target;
  l->choice = hostName(target);
  for (size_t i = 0; i < l->tab.size(); i++) {
    const Answer &a = l->got[i];
    if (a.got && a.r.at == target && a.r.dpy >= 0)
      l->reason = "it holds the newest live session (display " + std::to_string(a.r.dpy) +
                  ", " + ago(l->now - a.r.time) + " old)";
  }
}

void printLookupJson(const Lookup &l, const Options &o, const std::string &ctoken,
                     const std::string &itoken) {
  Json j;
  j["ctoken"] = text(ctoken.c_str());
  j["itoken"] = text(itoken.c_str());
  j["terminal"] = o.term.empty() ? Json() : Json(o.term);
  j["asked"] = Json::array();
  for (size_t i = 0; i < l.tab.size(); i++) {
    const Answer &a = l.got[i];
    Json e = {{"member", text(l.tab[i].hcopy.name)},
              {"address", dotted(l.tab[i].ifAddr)},
              {"answer", answerWord(a)}};
    if (a.got) {
      e["display"] = a.r.dpy;
      e["session_age"] = a.r.time > 0 ? Json((long long)(l.now - a.r.time)) : Json();
      e["load"] = oneDecimal(a.r.load);
      e["sessions"] = a.r.sessions;
      e["idles"] = a.r.idles;
      e["ms"] = (int)(a.ms + 0.5);
    }
    j["asked"].push_back(e);
  }
  j["choice"] = {{"member", l.chosen ? Json(text(l.choice.c_str())) : Json()},
                 {"address", l.chosen ? Json(dotted(l.chosen)) : Json()},
                 {"reason", text(l.reason.c_str())}};
  puts(j.dump().c_str());
}

void printLookupTable(const Lookup &l, const Roster &r) {
  std::string notAsked;
  for (const Member &m : r.members) {
    bool asked = false;
    for (const hostifreply &e : l.tab) asked = asked || strcmp(e.hcopy.name, m.h->name) == 0;
    if (!asked)
      notAsked += std::string(notAsked.empty() ? "" : ", ") + m.h->name +
                  ((m.h->flags & TRUSTED) ? " (no interface to ask)" : " (not trusted)");
  }
  if (!notAsked.empty()) printf("not asked: %s\n", notAsked.c_str());
  printf("%-16s %-15s %-14s %-12s %5s %-9s %s\n", "MEMBER", "ASKED", "ANSWER", "SESSION AGE",
         "LOAD", "SESS/IDLE", "TIME");
  for (size_t i = 0; i < l.tab.size(); i++) {
    const Answer &a = l.got[i];
    std::string age = a.got && a.r.time > 0 && a.r.dpy != -1 ? ago(l.now - a.r.time) : "-";
    char ld[32] = "-", t[32] = "-";
    if (a.got) {
      snprintfC(ld, sizeof ld, "%.1f", (double)a.r.load);
      snprintf(t, sizeof t, "%.1f ms", a.ms);
    }
    std::string si = a.got ? std::to_string(a.r.sessions) + "/" + std::to_string(a.r.idles) : "-";
    printf("%-16s %-15s %-14s %-12s %5s %-9s %s\n", l.tab[i].hcopy.name,
           dotted(l.tab[i].ifAddr).c_str(), answerWord(a).c_str(), age.c_str(), ld, si.c_str(), t);
  }
  printf("choice: %s%s: %s\n", l.choice.c_str(),
         l.chosen ? (" (" + dotted(l.chosen) + ")").c_str() : "", l.reason.c_str());
}

// The query text of one kind for dest, signed where the kind is; *key and
// *ctoken are what the reply must name. An exit status, or -1 when ready.
int composeQuery(const std::vector<std::string> &what, uint32_t dest, char *q, size_t qlen,
                 std::string *key, std::string *ctoken) {
  std::string err;
  auto usage = [](const std::string &m) {
    fail(m + " (zvgm ask SERVER token CTOKEN [ITOKEN] | term ID | server [SEQ])");
    return kExitError;
  };
  const std::string &kind = what[0];
  if (kind == "token") {
    if (what.size() < 2 || what.size() > 3) return usage("token needs CTOKEN [ITOKEN]");
    *ctoken = what[1];
    *key = what.size() > 2 ? what[2] : "";
    if (!sendable("ctoken", *ctoken, GM_TOKENMAX, &err) ||
        !sendable("itoken", *key, GM_TOKENMAX, &err)) {
      fail(err);
      return kExitError;
    }
    tokenQCompose(q, qlen, ctoken->c_str(), key->c_str(), dest, 0);
    addSignature(q);
  } else if (kind == "term") {
    if (what.size() != 2) return usage("term needs the terminal id");
    *key = what[1];
    if (!sendable("terminal id", *key, GM_TERMMAX, &err)) {
      fail(err);
      return kExitError;
    }
    termQCompose(q, GM_TERMQ_BUF, key->c_str(), dest, 0);
    addSignature(q);
  } else if (kind == "server") {
    if (what.size() > 2) return usage("server takes at most a sequence number");
    int seq = what.size() > 1 ? strtol32(what[1].c_str(), 10) : 1;
    // Server queries go unsigned: no responder looks for a trailer on them.
    snprintf(q, qlen, GM_SERVERQ_FMT, seq);
  } else {
    return usage("unknown query kind '" + kind + "'");
  }
  return -1;
}

// Sends q to dest and waits for one reply into text (GM_BUFSIZE bytes);
// its length, or -1 when none came. An exit status in *rc on failure.
ssize_t sendAndWait(const Options &o, struct in_addr dest, const char *q, char *text,
                    struct sockaddr_in *from, Clock::time_point *t0, int *rc) {
  std::string err;
  int fd = openSocket(&err);
  if (fd < 0) {
    fail(err);
    *rc = kExitError;
    return -1;
  }
  struct sockaddr_in to;
  memset(&to, 0, sizeof to);
  to.sin_family = AF_INET;
  to.sin_port = htons((uint16_t)o.port);
  to.sin_addr = dest;
  *t0 = Clock::now();
  if (sendto(fd, q, strlen(q), 0, (struct sockaddr *)&to, sizeof to) < 0) {
    fail("cannot send to " + dotted(dest.s_addr) + ": " + strerror(errno));
    close(fd);
    *rc = kExitError;
    return -1;
  }
  printf("sent to %s:%d: %s", dotted(dest.s_addr).c_str(), o.port, q);
  double wait = o.wait >= 0 ? o.wait : kAskWait;
  struct pollfd p = {fd, POLLIN, 0};
  ssize_t n = -1;
  socklen_t fl = sizeof *from;
  if (poll(&p, 1, (int)(wait * 1000)) > 0)
    n = recvfrom(fd, text, GM_BUFSIZE - 1, 0, (struct sockaddr *)from, &fl);
  close(fd);
  if (n < 0) {
    fail("no reply from " + dotted(dest.s_addr) + ":" + std::to_string(o.port) + " within " +
         ago((time_t)wait));
    *rc = kExitNothing;
    return -1;
  }
  text[n] = '\0';
  return n;
}

int showServerReply(char *text) {
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

// Token and terminal replies, read by the lookup's own reader.
int showQueryReply(char *text, const std::string &kind, const std::string &key,
                   const std::string &ctoken, uint32_t dest, const std::string &server,
                   Clock::time_point t0) {
  hostifreply entry;
  memset(&entry, 0, sizeof entry);
  entry.ifAddr = dest;
  entry.state = -2;
  snprintf(entry.hcopy.name, sizeof entry.hcopy.name, "%s", server.c_str());
  // The verdict is shown already, so the reader sees the text as unsigned.
  resetSignature();
  std::vector<Answer> got(1);
  uint32_t target = 0;
  KeptRun k;
  startRun(&k, kind == "token" ? tokenKind : termKind, key, ctoken, &entry, 1, &target, &got);
  k.sentAt = t0;
  if (queryHandleReply(&k.run, text) != 0) {
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

}  // namespace

std::map<std::string, int32_t> placementWeights(Roster &r) {
  BorrowedTable table(r);
  std::map<std::string, int32_t> w;
  for (int i = 1; i < numhosts; i++) {
    // A terminal on the member's interconnect network, where its terminals
    // are; on its LAN when it has none.
    const host *h = hostList[i];
    uint32_t client = 0;
    for (int j = h->numifs - 1; j >= 0; j--)
      if (!(h->hostifs[j].flags & LAN)) client = h->hostifs[j].myAddr.sin_addr.s_addr;
    leastLoadedHost(in_addr{client});  // weighs every member, then draws (unused)
    w[h->name] = h->desire;
  }
  return w;
}

int runLookup(const Options &o, const std::string &ctoken, const std::string &itoken) {
  uint32_t client = 0;
  if (!lookupArgs(o, ctoken, itoken, &client)) return kExitError;
  std::string err;
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
  BorrowedTable table(r);
  int count = 0;
  hostifreply *raw = queryBuildTable(&tokenKind, client, &count);
  if (raw == nullptr) {
    fail("out of memory");
    return kExitError;
  }
  Lookup l;
  l.tab.assign(raw, raw + count);
  free(raw);
  if (count == 0) {
    fail("no member to ask: none of the " + std::to_string(r.members.size()) +
         " members heard is trusted" + (r.secretLoaded() ? " with this secret" : "") +
         " and reachable" + (client ? " from " + o.term : ""));
    return kExitNothing;
  }
  uint32_t target = 0;
  if (!ask(&l, ctoken, itoken, &target)) {
    fail("cannot open a UDP socket for the lookup (see above)");
    return kExitError;
  }
  choose(&l, target, client);
  if (o.json)
    printLookupJson(l, o, ctoken, itoken);
  else
    printLookupTable(l, r);
  for (const Answer &a : l.got)
    if (a.got) return kExitOk;
  return kExitNothing;
}

int runAsk(const Options &o, const std::string &server, const std::vector<std::string> &what) {
  std::string err;
  if (what.empty()) {
    fail("ask needs a query kind");
    return kExitError;
  }
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
  std::string key, ctoken;
  if (int rc = composeQuery(what, dest.s_addr, q, sizeof q, &key, &ctoken); rc >= 0) return rc;
  char text[GM_BUFSIZE];
  struct sockaddr_in from;
  Clock::time_point t0;
  int rc = kExitOk;
  ssize_t n = sendAndWait(o, dest, q, text, &from, &t0, &rc);
  if (n < 0) return rc;
  double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  printf("reply from %s:%d after %.1f ms, %zd bytes: %s%s", dotted(from.sin_addr.s_addr).c_str(),
         ntohs(from.sin_port), ms, n, text, n > 0 && text[n - 1] == '\n' ? "" : "\n");
  size_t before = strlen(text);
  int ok = chkSignature(text);
  bool hadTrailer = strlen(text) < before;
  Trust trust = !hadTrailer ? kUnsigned
                : !o.secret.empty() ? (ok ? kValid : kOtherSecret)
                                    : kSignedUnchecked;
  printf("  signature     %s%s\n", trustWord(trust),
         !ok && !o.secret.empty() && kind != "server" ? " (a lookup would drop this reply)" : "");
  if (kind == "server") return showServerReply(text);
  return showQueryReply(text, kind, key, ctoken, dest.s_addr, server, t0);
}

}  // namespace zvgm
