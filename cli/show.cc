// show.cc - `zvgm members` and `zvgm watch`: the group as the announcements
// on the wire show it, as a table, as JSON, or live like top.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <chrono>
#include <map>

#include "commands.h"

namespace zvgm {

namespace {

constexpr double kMembersWait = 30;  // seconds, unless every member was heard twice

std::string flagWords(int flags) {
  std::string s;
  auto add = [&](const char *w) {
    if (!s.empty()) s += ", ";
    s += w;
  };
  if (flags & ROUTER) add("router");
  if (flags & LAN_OK) add("accepts LAN");
  if (flags & OFFLINE) add("offline");
  return s.empty() ? "-" : s;
}

std::string offset(int32_t s) {
  char b[24];
  snprintf(b, sizeof b, "%+d s", s);
  return b;
}

std::string loadText(float l) {
  if (l < 0) return "-";
  char b[32];
  snprintfC(b, sizeof b, "%.1f", (double)l);
  return b;
}

std::string countText(int v) { return v < 0 ? "?" : std::to_string(v); }

// One table: a row per member, its interfaces indented below it.
void printTable(FILE *out, const Roster &r, time_t now) {
  fprintf(out, "%-16s %-15s %-12s %5s %-9s %-24s %-13s %-7s %-7s %s\n", "MEMBER", "ADDRESS",
          "CPUS x MHz", "LOAD", "SESS/IDLE", "FLAGS", "TRUST", "HEARD", "OFFSET", "ALIVE");
  for (const Member *mp : byName(r)) {
    const Member &m = *mp;
    const host *h = m.h;
    std::string cpu = std::to_string(h->numcpus) + " x " + std::to_string(h->meanclock);
    std::string sess = countText(h->sessions) + "/" + countText(h->idles);
    fprintf(out, "%-16s %-15s %-12s %5s %-9s %-24s %-13s %-7s %-7s %s\n", h->name,
            dotted(h->hostAddr.s_addr).c_str(), cpu.c_str(), loadText(h->load).c_str(),
            sess.c_str(), flagWords(h->flags).c_str(), trustText(m).c_str(),
            (ago(now - m.last) + " ago").c_str(), offset(h->timeoff).c_str(),
            Roster::alive(m, now) ? "yes" : "no");
    for (int i = 0; i < h->numifs; i++) {
      const interface *ifp = &h->hostifs[i];
      std::string a = dotted(ifp->myAddr.sin_addr.s_addr) + "/" +
                      std::to_string(prefixLen(ifp->netmask.sin_addr.s_addr));
      std::string heard = ifp->lastpkt == 0 ? "not heard"
                                            : "heard " + ago(now - ifp->lastpkt) + " ago";
      fprintf(out, "  %-14s %-18s %-12s %s\n", ifp->name, a.c_str(),
              (ifp->flags & LAN) ? "LAN" : "interconnect", heard.c_str());
    }
  }
}

void printJson(FILE *out, const Roster &r, time_t now, double listened) {
  fputs((membersJson(r, now, listened).dump() + "\n").c_str(), out);
}

int openOrFail(Roster &r, const Options &o) {
  std::string err;
  if (r.open(o, &err)) return kExitOk;
  fail(err);
  return kExitError;
}

std::string clockNow(time_t t) {
  char b[16];
  struct tm tmv;
  localtime_r(&t, &tmv);
  strftime(b, sizeof b, "%H:%M:%S", &tmv);
  return b;
}

}  // namespace

std::string ago(time_t s) {
  if (s < 0) s = 0;
  if (s < 120) return std::to_string(s) + " s";
  if (s < 7200) return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
  return std::to_string(s / 3600) + " h " + std::to_string(s % 3600 / 60) + " min";
}

std::vector<const Member *> byName(const Roster &r) {
  std::vector<const Member *> v;
  for (const Member &m : r.members) v.push_back(&m);
  std::sort(v.begin(), v.end(),
            [](const Member *a, const Member *b) { return strcmp(a->h->name, b->h->name) < 0; });
  return v;
}

Json oneDecimal(double v) {
  if (!std::isfinite(v)) return Json();  // a peer may announce "nan"
  char b[400];
  snprintfC(b, sizeof b, "%.1f", v);
  return Json::parse(b);
}

std::string text(const char *s) {
  std::string o;
  for (const unsigned char *p = (const unsigned char *)s; *p; p++) {
    if (*p < 0x80) {
      o += (char)*p;
    } else {
      o += (char)(0xc0 | (*p >> 6));
      o += (char)(0x80 | (*p & 0x3f));
    }
  }
  return o;
}

Json membersJson(const Roster &r, time_t now, double listened) {
  Json j;
  j["port"] = r.options().port;
  j["group"] = r.options().broadcast ? Json() : Json(r.options().group);
  j["listened"] = listened;
  j["now"] = (long long)now;
  j["members"] = Json::array();
  for (const Member *mp : byName(r)) {
    const Member &m = *mp;
    const host *h = m.h;
    Json ifs = Json::array();
    for (int i = 0; i < h->numifs; i++) {
      const interface *ifp = &h->hostifs[i];
      ifs.push_back({{"name", text(ifp->name)},
                     {"address", dotted(ifp->myAddr.sin_addr.s_addr)},
                     {"prefix", prefixLen(ifp->netmask.sin_addr.s_addr)},
                     {"broadcast", dotted(ifp->bcastAddr.sin_addr.s_addr)},
                     {"kind", (ifp->flags & LAN) ? "LAN" : "interconnect"},
                     {"heard_ago", ifp->lastpkt == 0 ? Json() : Json((long long)(now - ifp->lastpkt))}});
    }
    Json flags = Json::array();
    if (h->flags & ROUTER) flags.push_back("router");
    if (h->flags & LAN_OK) flags.push_back("accepts LAN");
    if (h->flags & OFFLINE) flags.push_back("offline");
    j["members"].push_back({{"name", text(h->name)},
                            {"address", dotted(h->hostAddr.s_addr)},
                            {"interfaces", ifs},
                            {"cpus", h->numcpus},
                            {"mhz", h->meanclock},
                            {"load", h->load < 0 ? Json() : oneDecimal(h->load)},
                            {"sessions", h->sessions},
                            {"idles", h->idles},
                            {"flags", flags},
                            {"trust", trustWord(m.trust)},
                            {"secret", secretWord(m.secret) != nullptr ? Json(secretWord(m.secret)) : Json()},
                            {"trusted", (h->flags & TRUSTED) != 0},
                            {"refused", {{"impersonation", m.refused[GM_IMPERSONATION]},
                                         {"replay", m.refused[GM_REPLAY]}}},
                            {"heard_ago", (long long)(now - m.last)},
                            {"times_heard", m.heard},
                            {"clock_offset", h->timeoff},
                            {"period", h->period},
                            {"starttime", (long long)h->starttime},
                            {"alive", Roster::alive(m, now)}});
  }
  return j;
}

void fail(const std::string &msg) { fprintf(stderr, "zvgm: %s\n", msg.c_str()); }

int runMembers(const Options &o) {
  Roster r;
  if (int rc = openOrFail(r, o)) return rc;
  // Without --wait: until every member was heard twice; with it, the whole
  // time, so that a member that falls silent meanwhile shows as not alive.
  double wait = o.wait >= 0 ? o.wait : kMembersWait;
  time_t start = gmSys.now();
  r.listen(wait, o.wait < 0);
  time_t now = gmSys.now();
  if (r.members.empty()) {
    fail("nothing heard on UDP port " + std::to_string(o.port) + " within " +
         std::to_string((int)wait) + " s" +
         (r.malformed ? " (" + std::to_string(r.malformed) + " malformed announcements)"
          : o.broadcast ? ""
                        : " (does the group announce by broadcast? try --broadcast)"));
    return kExitNothing;
  }
  if (o.json)
    printJson(stdout, r, now, (double)(now - start));
  else
    printTable(stdout, r, now);
  return kExitOk;
}

// Live: a table redrawn every second on a terminal; elsewhere one line per
// change (a member appears, turns not alive, comes back, changes trust).
int runWatch(const Options &o) {
  Roster r;
  if (int rc = openOrFail(r, o)) return rc;
  bool tty = isatty(STDOUT_FILENO);
  auto end = std::chrono::steady_clock::now() +
             std::chrono::milliseconds((long long)(o.wait * 1000));
  std::map<std::string, std::pair<bool, std::string>> seen;  // name: alive, trust
  for (;;) {
    if (o.wait >= 0 && std::chrono::steady_clock::now() >= end) break;
    r.listen(1, false);
    time_t now = gmSys.now();
    if (tty) {
      int alive = 0;
      for (const Member &m : r.members) alive += Roster::alive(m, now);
      printf("\033[H\033[2Jzvgm watch  %s  port %d%s  %zu members, %d alive\n\n",
             clockNow(now).c_str(), o.port,
             o.broadcast ? "" : ("  group " + o.group).c_str(), r.members.size(), alive);
      printTable(stdout, r, now);
    } else {
      for (const Member &m : r.members) {
        bool a = Roster::alive(m, now);
        auto it = seen.find(m.h->name);
        const char *what = nullptr;
        if (it == seen.end())
          what = "joined";
        else if (it->second.first != a)
          what = a ? "alive again" : "not alive";
        else if (it->second.second != trustText(m))
          what = "trust changed";
        if (what != nullptr)
          printf("%s %s %s: %s, %s, heard %s ago\n", clockNow(now).c_str(), m.h->name, what,
                 dotted(m.h->hostAddr.s_addr).c_str(), trustText(m).c_str(),
                 ago(now - m.last).c_str());
        seen[m.h->name] = {a, trustText(m)};
      }
    }
    fflush(stdout);
  }
  return r.members.empty() ? kExitNothing : kExitOk;
}

}  // namespace zvgm
