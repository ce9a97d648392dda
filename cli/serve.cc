// serve.cc - `zvgm serve`: a passive listener on the group port, for good,
// that serves what it hears over HTTP: /metrics for Prometheus, the JSON of
// `members --json` at /api/members, /healthz, and a live page at /.
#include <errno.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <tuple>
#include <vector>

#include <microhttpd.h>

#include "findings.h"
#include "serve.h"

namespace zvgm {

namespace {

// Label values of the trust states, in the order of enum Trust.
const char *const kTrustLabel[kTrusts] = {"unsigned", "valid", "other_secret",
                                          "signed_unchecked"};

// One exposition in the text format: families with their HELP and TYPE,
// then their samples.
class Exposition {
 public:
  void family(const char *name, const char *type, const char *help) {
    name_ = name;
    out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  // A sample of the current family; labels as name, value pairs.
  void sample(double v, std::initializer_list<std::pair<const char *, std::string>> labels = {}) {
    out_ += name_;
    if (labels.size() > 0) {
      out_ += "{";
      bool first = true;
      for (const auto &[k, val] : labels) {
        out_ += std::string(first ? "" : ",") + k + "=\"" + escaped(val) + "\"";
        first = false;
      }
      out_ += "}";
    }
    char b[40];
    snprintf(b, sizeof b, " %.10g\n", v);
    out_ += b;
  }
  const std::string &text() const { return out_; }

 private:
  static std::string escaped(const std::string &s) {
    std::string o;
    for (char c : s) {
      if (c == '\\' || c == '"') o += '\\';
      if (c == '\n') {
        o += "\\n";
        continue;
      }
      o += c;
    }
    return o;
  }
  std::string name_, out_;
};

void memberFamilies(Exposition &e, Roster &r, time_t now) {
  std::map<std::string, int32_t> weight = placementWeights(r);
  std::vector<const Member *> ms = byName(r);
  auto each = [&](const char *name, const char *type, const char *help, auto value) {
    e.family(name, type, help);
    for (const Member *m : ms) value(*m, text(m->h->name), dotted(m->h->hostAddr.s_addr));
  };
  each("zvgm_member_alive", "gauge", "1 while one of the member's interfaces was heard within 3 of its keep-alive periods.",
       [&](const Member &m, const std::string &n, const std::string &a) {
         e.sample(Roster::alive(m, now), {{"name", n}, {"address", a}});
       });
  each("zvgm_member_trust", "gauge", "How the member's last announcement was signed: 1 for its state, 0 for the others.",
       [&](const Member &m, const std::string &n, const std::string &a) {
         for (int t = 0; t < kTrusts; t++)
           e.sample(m.trust == t, {{"name", n}, {"address", a}, {"trust", kTrustLabel[t]}});
       });
  each("zvgm_member_flag", "gauge", "The member's flags: router, accepts_lan and offline as announced, trusted as judged here.",
       [&](const Member &m, const std::string &n, const std::string &a) {
         const std::pair<const char *, int> flags[] = {
             {"router", ROUTER}, {"accepts_lan", LAN_OK}, {"offline", OFFLINE}, {"trusted", TRUSTED}};
         for (const auto &[word, bit] : flags)
           e.sample((m.h->flags & bit) != 0, {{"name", n}, {"address", a}, {"flag", word}});
       });
  each("zvgm_member_load", "gauge", "The member's announced load average (absent until announced).",
       [&](const Member &m, const std::string &n, const std::string &a) {
         Json load = oneDecimal(m.h->load);
         if (m.h->load >= 0 && !load.is_null()) e.sample(load.get<double>(), {{"name", n}, {"address", a}});
       });
  each("zvgm_member_sessions", "gauge", "Sessions on the member, idle ones included (absent until counted).",
       [&](const Member &m, const std::string &n, const std::string &a) {
         if (m.h->sessions >= 0) e.sample(m.h->sessions, {{"name", n}, {"address", a}});
       });
  each("zvgm_member_idle_sessions", "gauge", "Idle sessions on the member (absent until counted).",
       [&](const Member &m, const std::string &n, const std::string &a) {
         if (m.h->idles >= 0) e.sample(m.h->idles, {{"name", n}, {"address", a}});
       });
  each("zvgm_member_cpus", "gauge", "CPUs the member announces.",
       [&](const Member &m, const std::string &n, const std::string &a) {
         e.sample(m.h->numcpus, {{"name", n}, {"address", a}});
       });
  each("zvgm_member_cpu_clock_hertz", "gauge", "Mean CPU clock the member announces.",
       [&](const Member &m, const std::string &n, const std::string &a) {
         e.sample(m.h->meanclock * 1e6, {{"name", n}, {"address", a}});
       });
  each("zvgm_member_placement_weight", "gauge", "Weight of the member in the least-loaded draw for a terminal on its interconnect network (capacity over load; 0: takes no new sessions there).",
       [&](const Member &m, const std::string &n, const std::string &a) {
         e.sample(weight[m.h->name], {{"name", n}, {"address", a}});
       });
  each("zvgm_member_last_heard_age_seconds", "gauge", "Seconds since the member's last announcement.",
       [&](const Member &m, const std::string &n, const std::string &a) {
         e.sample((double)(now - m.last), {{"name", n}, {"address", a}});
       });
  each("zvgm_member_clock_offset_seconds", "gauge", "The member's clock minus this host's, as of its last announcement.",
       [&](const Member &m, const std::string &n, const std::string &a) {
         e.sample(m.h->timeoff, {{"name", n}, {"address", a}});
       });
  each("zvgm_member_keepalive_period_seconds", "gauge", "The member's keep-alive interval.",
       [&](const Member &m, const std::string &n, const std::string &a) {
         e.sample(m.h->period, {{"name", n}, {"address", a}});
       });
  each("zvgm_member_start_time_seconds", "gauge", "When the member's group manager started, seconds since the epoch in its clock.",
       [&](const Member &m, const std::string &n, const std::string &a) {
         e.sample((double)m.h->starttime, {{"name", n}, {"address", a}});
       });
  each("zvgm_member_restarts_total", "counter", "Announcements of the member with a start time other than its last one.",
       [&](const Member &m, const std::string &n, const std::string &a) {
         e.sample(m.restarts, {{"name", n}, {"address", a}});
       });
}

// The findings of zvgm doctor's rules on what serve heard: one sample per
// severity, kind and name, counting the findings.
void findingFamilies(Exposition &e, const Roster &r, time_t now) {
  std::map<std::tuple<std::string, std::string, std::string>, int> count;
  for (const Finding &f : groupFindings(r, now, thisHostName()))
    count[{severityWord(f.severity), f.kind, f.name}]++;
  e.family("zvgm_findings", "gauge", "What keeps the group from working, by zvgm doctor's rules on what serve heard: findings by severity, kind and name.");
  for (const auto &[k, n] : count)
    e.sample(n, {{"severity", std::get<0>(k)}, {"kind", std::get<1>(k)}, {"name", std::get<2>(k)}});
}

// Which secret each member signs with, and the announcements under its name
// that the library's verdict refuses (as its peers refuse them).
void secretFamilies(Exposition &e, Roster &r) {
  std::vector<const Member *> ms = byName(r);
  e.family("zvgm_member_secret", "gauge",
           "1 for the secret (first or second) the member's last announcement verified with; 0 for "
           "the other, and for both while it is not valid.");
  for (const Member *m : ms)
    for (int which : {GM_SECRET_FIRST, GM_SECRET_SECOND})
      e.sample(m->trust == kValid && m->secret == which,
               {{"name", text(m->h->name)}, {"address", dotted(m->h->hostAddr.s_addr)},
                {"secret", secretWord(which)}});
  e.family("zvgm_refused_announcements_total", "counter",
           "Announcements under the member's name that its peers refuse: impersonation (fails the "
           "signature check while the member is trusted and alive), replay (signed, not newer than "
           "its last).");
  const std::pair<gm_verdict, const char *> reasons[] = {{GM_IMPERSONATION, "impersonation"},
                                                         {GM_REPLAY, "replay"}};
  for (const Member *m : ms)
    for (const auto &[v, word] : reasons)
      e.sample((double)m->refused[v],
               {{"name", text(m->h->name)}, {"address", dotted(m->h->hostAddr.s_addr)},
                {"reason", word}});
}

}  // namespace

std::string metricsText(Roster &r, const ServeCounts &c, time_t now) {
  Exposition e;
  int alive = 0;
  int byTrust[kTrusts] = {};
  for (const Member &m : r.members) {
    alive += Roster::alive(m, now);
    byTrust[m.trust]++;
  }
  e.family("zvgm_serve_listening", "gauge", "1 while zvgm listens on the group port.");
  e.sample(c.listening);
  e.family("zvgm_members", "gauge", "Members heard since zvgm started.");
  e.sample((double)r.members.size());
  e.family("zvgm_members_alive", "gauge", "Members heard within 3 of their keep-alive periods.");
  e.sample(alive);
  if (c.expect >= 0) {
    e.family("zvgm_members_expected", "gauge", "Members the group should have alive (zvgm serve --expect).");
    e.sample(c.expect);
  }
  e.family("zvgm_members_by_trust", "gauge", "Members by how their last announcement was signed.");
  for (int t = 0; t < kTrusts; t++) e.sample(byTrust[t], {{"trust", kTrustLabel[t]}});
  e.family("zvgm_announcements_total", "counter", "Announcements taken (one per sending), by how they were signed.");
  for (int t = 0; t < kTrusts; t++) e.sample((double)r.byTrust[t], {{"trust", kTrustLabel[t]}});
  e.family("zvgm_unreadable_datagrams_total", "counter", "Datagrams on the group port that were no readable announcement.");
  e.sample(r.malformed + r.foreign);
  e.family("zvgm_members_lost_total", "counter", "Times a member turned not alive.");
  e.sample((double)c.lost);
  memberFamilies(e, r, now);
  findingFamilies(e, r, now);
  secretFamilies(e, r);
  return e.text();
}

namespace {

struct Served {
  Roster roster;
  std::mutex lock;  // the roster, the counts, the library's group table
  ServeCounts counts;
  time_t started = 0;
  std::map<std::string, bool> wasAlive;
  std::atomic<bool> stop{false};
};

// Counts the members that turned not alive since the last call.
void noteLosses(Served &s, time_t now) {
  for (const Member &m : s.roster.members) {
    bool a = Roster::alive(m, now);
    auto it = s.wasAlive.find(m.h->name);
    if (it != s.wasAlive.end() && it->second && !a) s.counts.lost++;
    s.wasAlive[m.h->name] = a;
  }
}

// The listener: opens the group port (again every few seconds while no
// interface lets it) and takes announcements until told to stop.
void listenLoop(Served &s) {
  bool told = false;
  while (!s.stop) {
    if (!s.counts.listening) {
      std::string err;
      std::lock_guard<std::mutex> g(s.lock);
      s.counts.listening = s.roster.openSockets(&err);
      if (!s.counts.listening && !told) fail(err + "; serving an empty group until it can listen");
      told = told || !s.counts.listening;
    }
    if (s.counts.listening) {
      s.roster.listen(1, false);
    } else {
      for (int i = 0; i < 50 && !s.stop; i++) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::lock_guard<std::mutex> g(s.lock);
    noteLosses(s, gmSys.now());
  }
}

// ADDR:PORT; false when it is none.
bool splitListen(const std::string &l, std::string *host, int *port) {
  size_t colon = l.rfind(':');
  if (colon == std::string::npos || colon == 0) return false;
  *host = l.substr(0, colon);
  if (host->size() > 2 && (*host)[0] == '[' && host->back() == ']') *host = host->substr(1, host->size() - 2);
  char *end;
  long p = strtol(l.c_str() + colon + 1, &end, 10);
  if (*end != '\0' || end == l.c_str() + colon + 1 || p < 1 || p > 65535) return false;
  *port = (int)p;
  return true;
}

// One answer: status, content type, body and further headers.
struct Reply {
  unsigned status = 200;
  const char *type = "text/plain";
  std::string body;
  std::vector<std::pair<const char *, const char *>> headers;
};

// The answer to a GET (or HEAD) of path.
Reply answer(Served &s, const std::string &path) {
  Reply r;
  auto group = [&s] {
    std::lock_guard<std::mutex> g(s.lock);
    time_t now = gmSys.now();
    return membersJson(s.roster, now, (double)(now - s.started));
  };
  // The findings on what was heard, as doctor's --json gives them.
  auto findings = [&s] {
    std::lock_guard<std::mutex> g(s.lock);
    Json all = Json::array();
    for (const Finding &f : groupFindings(s.roster, gmSys.now(), thisHostName()))
      all.push_back(findingJson(f));
    return all;
  };
  if (path == "/api/findings") {
    r.headers.push_back({"Cache-Control", "no-store"});
    r.type = "application/json";
    r.body = findings().dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
    return r;
  }
  if (path == "/metrics") {
    std::lock_guard<std::mutex> g(s.lock);
    r.type = "text/plain; version=0.0.4; charset=utf-8";
    r.body = metricsText(s.roster, s.counts, gmSys.now());
  } else if (path == "/api/members") {
    r.headers.push_back({"Cache-Control", "no-store"});
    r.type = "application/json";
    r.body = group().dump() + "\n";
  } else if (path == "/healthz") {
    r.body = "ok\n";
  } else if (path == "/") {
    r.headers.push_back({"Content-Security-Policy",
                         "default-src 'none'; style-src 'unsafe-inline'; script-src 'unsafe-inline'; "
                         "connect-src 'self'"});
    r.headers.push_back({"X-Content-Type-Options", "nosniff"});
    r.type = "text/html; charset=utf-8";
    r.body = statusPage(group(), findings());
  } else {
    r.status = 404;
    r.type = nullptr;
  }
  return r;
}

// Whether the request announces a body.
bool hasBody(MHD_Connection *c) {
  const char *length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Length");
  return MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Transfer-Encoding") != nullptr ||
         (length != nullptr && strspn(length, "0") != strlen(length));
}

// libmicrohttpd's handler, first called once the request line and headers
// are in. A request with a body, or of another method than GET and HEAD, is
// answered at once: libmicrohttpd then closes the connection without
// reading the body. Any other is answered on the second call, which keeps
// the connection open for the next request.
MHD_Result onRequest(void *cls, MHD_Connection *c, const char *url, const char *method,
                     const char *, const char *, size_t *, void **state) {
  static int headersIn;
  bool getOrHead = strcmp(method, "GET") == 0 || strcmp(method, "HEAD") == 0;
  if (*state == nullptr && getOrHead && !hasBody(c)) {
    *state = &headersIn;
    return MHD_YES;
  }
  Reply r;
  if (getOrHead) {
    r = answer(*static_cast<Served *>(cls), url);
  } else {
    r.status = 405;
    r.body = "only GET and HEAD\n";
    r.headers = {{"Allow", "GET, HEAD"}, {"Connection", "close"}};
  }
  MHD_Response *res = MHD_create_response_from_buffer(r.body.size(), (void *)r.body.data(),
                                                      MHD_RESPMEM_MUST_COPY);
  if (res == nullptr) return MHD_NO;
  if (r.type != nullptr) MHD_add_response_header(res, "Content-Type", r.type);
  for (const auto &[name, value] : r.headers) MHD_add_response_header(res, name, value);
  MHD_Result ok = MHD_queue_response(c, r.status, res);
  MHD_destroy_response(res);
  return ok;
}

// The listening socket on host:port, bound here so that a taken address is
// told as such; -1, with the reason in *why, when there is none.
int listenOn(const std::string &host, int port, std::string *why) {
  addrinfo hints{}, *ai = nullptr;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  int e = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &ai);
  if (e != 0) {
    *why = e == EAI_SYSTEM ? strerror(errno) : gai_strerror(e);
    return -1;
  }
  int fd = -1;
  for (addrinfo *a = ai; a != nullptr && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (fd < 0) continue;
    // Address reuse, but never a port shared with another server
    // (SO_REUSEPORT would let a second serve take the same address).
    int yes = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
      e = errno;
      close(fd);
      fd = -1;
      errno = e;
    }
  }
  if (fd < 0) *why = strerror(errno);
  freeaddrinfo(ai);
  return fd;
}

}  // namespace

int runServe(const Options &o) {
  std::string host, err;
  int port = 0;
  if (!splitListen(o.listen, &host, &port)) {
    fail("not an address and port to listen on: " + o.listen);
    return kExitError;
  }
  Served s;
  s.counts.expect = o.expect;
  if (!s.roster.prepare(o, &err, true)) {
    fail(err);
    return kExitError;
  }
  s.roster.guard = &s.lock;
  s.started = gmSys.now();
  signal(SIGPIPE, SIG_IGN);  // a client that goes away is no reason to end
  std::string why;
  int fd = listenOn(host, port, &why);
  if (fd < 0) {
    fail("cannot listen on " + o.listen + ": " + why);
    return kExitError;
  }
  // SIGINT and SIGTERM end the serving; the threads never see them.
  sigset_t ends;
  sigemptyset(&ends);
  sigaddset(&ends, SIGINT);
  sigaddset(&ends, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &ends, nullptr);
  // Every connection is bounded: its request line and headers together in
  // 16 KiB (more is answered 414 or 431 and closed), dropped after 5 s in
  // which it sent nothing, at most 64 connections and 16 from one address.
  MHD_Daemon *d = MHD_start_daemon(
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL, 0, nullptr, nullptr, onRequest, &s,
      MHD_OPTION_LISTEN_SOCKET, (MHD_socket)fd,
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, (size_t)16 * 1024,
      MHD_OPTION_CONNECTION_TIMEOUT, 5u,
      MHD_OPTION_CONNECTION_LIMIT, 64u,
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, 16u,
      MHD_OPTION_SIGPIPE_HANDLED_BY_APP, 1,
      MHD_OPTION_END);
  if (d == nullptr) {
    close(fd);
    fail("cannot serve HTTP on " + o.listen);
    return kExitError;
  }
  std::thread listener(listenLoop, std::ref(s));
  int sig = 0;
  sigwait(&ends, &sig);
  s.stop = true;
  MHD_stop_daemon(d);  // closes the listening socket too
  listener.join();
  return kExitOk;
}

}  // namespace zvgm
