// findings.cc - the rules that turn what the roster heard, and what doctor
// found on this host, into findings: one sentence each of what is seen,
// what it costs the group and what to do.
#include "findings.h"

#include <arpa/inet.h>
#include <errno.h>
#include <math.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <tuple>

namespace zvgm {

namespace {

Finding make(Severity s, const char *kind, const std::string &name, std::string sees,
             std::string costs, std::string fix) {
  return Finding{s, kind, name, std::move(sees), std::move(costs), std::move(fix)};
}

std::string num(long long v) { return std::to_string(v); }

bool isLoopback(uint32_t netAddr) { return (ntohl(netAddr) >> 24) == 127; }

// Each interface lies on the other's subnet: the two share a network.
bool share(const interface &a, const interface &b) {
  return onSubnet(&a, b.myAddr.sin_addr.s_addr) && onSubnet(&b, a.myAddr.sin_addr.s_addr);
}

std::vector<const Member *> aliveMembers(const Roster &r, time_t now) {
  std::vector<const Member *> v;
  for (const Member *m : byName(r))
    if (Roster::alive(*m, now)) v.push_back(m);
  return v;
}

// The keep-alive interval most of the alive members announce (the shortest
// of equally common ones); 0 without members.
int groupPeriod(const std::vector<const Member *> &alive) {
  std::map<int, int> count;
  for (const Member *m : alive) count[m->h->period]++;
  int best = 0, most = 0;
  for (const auto &[period, n] : count)
    if (n > most) best = period, most = n;
  return best;
}

void loopbackRule(std::vector<Finding> &out, const Member &m, const std::string &n) {
  if (!isLoopback(m.h->hostAddr.s_addr)) return;
  out.push_back(make(kError, "loopback_address", n,
                     n + " announces itself at " + dotted(m.h->hostAddr.s_addr),
                     "sessions placed on it from routed networks go nowhere",
                     "give " + n + "'s name its LAN address in /etc/hosts"));
}

// Two servers of one name overwrite each other's record every interval: the
// name passes back to a server heard before, again and again. A server that
// restarts, or changes its address, passes it on once and never back; one
// whose interface went and came back passes it back once.
void conflictRule(std::vector<Finding> &out, const Member &m, const std::string &n, time_t now) {
  const MemberNotes &notes = m.notes;
  time_t window = (time_t)kWindowPeriods * std::max(1, m.h->period);
  int back = 0;
  for (const auto &[at, returning] : notes.flips) back += returning && now - at <= window;
  if (back < kConflictReturns) return;
  std::vector<std::string> from;
  for (const MemberNotes::Sender &s : notes.senders)
    if (now - s.last <= window) from.push_back(dotted(s.from));
  std::string list;
  for (size_t i = 0; i < from.size(); i++)
    list += (i == 0 ? "" : i + 1 == from.size() ? " and " : ", ") + from[i];
  int servers = (int)from.size();
  out.push_back(make(kError, "name_conflict", n,
                     n + " is announced by " + num(servers) + " servers in turn, from " + list,
                     "members keep one record per name and each announcement overwrites the "
                     "other's, so lookups reach one of them at a time and sessions on the other "
                     "go unfound",
                     "give each server a host name of its own"));
}

void periodRule(std::vector<Finding> &out, const Member &m, const std::string &n, int group) {
  int p = m.h->period;
  if (group <= 0 || p == group) return;
  out.push_back(make(kWarning, "period_mismatch", n,
                     n + " announces every " + num(p) + " s, the group every " + num(group) + " s",
                     "its load and sessions reach its peers every " + num(p) + " s instead of " +
                         num(group) + " and its failure is noticed after " + num(3LL * p) +
                         " s instead of " + num(3LL * group) + ", so sessions are placed on it by "
                         "staler figures than on the rest",
                     "set gmKeepAliveInterval to " + num(group) + " on " + n +
                         ", as on the other members"));
}

void ttlRule(std::vector<Finding> &out, const Roster &r, const Member &m, const std::string &n) {
  if (r.options().broadcast || m.notes.ttl <= 1) return;
  out.push_back(make(kWarning, "multicast_ttl", n,
                     n + "'s announcements arrive with TTL " + num(m.notes.ttl),
                     "multicast routers may carry them beyond this network, where servers of "
                     "other groups take " + n + " into their tables and place sessions on it",
                     "set multicastTTL to 1 on " + n + " unless the group spans routers on purpose"));
}

void sizeRules(std::vector<Finding> &out, const Member &m, const std::string &n) {
  const MemberNotes &notes = m.notes;
  if (notes.largest > kMaxDatagram) {
    out.push_back(make(kError, "oversize", n,
                       n + "'s announcement is " + num(notes.largest) + " bytes, over the " +
                           num(kMaxDatagram) + " a member reads",
                       "members read only its first " + num(kMaxDatagram) +
                           " bytes, so the interfaces listed after them, its session counts and its "
                           "signature are lost and a signed one is never trusted",
                       "make " + n + " announce fewer interfaces, or fix the program that sends it"));
  } else if (notes.announcedIfs > notes.listedIfs) {
    int left = notes.announcedIfs - notes.listedIfs;
    out.push_back(make(kWarning, "interfaces_unlisted", n,
                       n + " announces " + num(notes.announcedIfs) + " interfaces but lists " +
                           num(notes.listedIfs),
                       "its peers never ask it on the " + num(left) + " left out, so terminals "
                       "on those networks are not placed on it through the group",
                       "give " + n + " fewer interfaces (aliases, unused bridges) so that all fit "
                       "into one announcement"));
  }
}

void loneRule(std::vector<Finding> &out, const std::vector<const Member *> &alive, const Member &m,
              const std::string &n) {
  if (m.h->numifs == 0) return;
  std::string nets;
  for (int i = 0; i < m.h->numifs; i++) {
    const interface &a = m.h->hostifs[i];
    for (const Member *o : alive) {
      if (o == &m) continue;
      for (int j = 0; j < o->h->numifs; j++)
        if (share(a, o->h->hostifs[j])) return;
    }
    nets += (i ? ", " : "") + dotted(a.myAddr.sin_addr.s_addr & a.netmask.sin_addr.s_addr) + "/" +
            num(prefixLen(a.netmask.sin_addr.s_addr));
  }
  out.push_back(make(kWarning, "lone_subnet", n,
                     n + " shares no network with another member (it has " + nets + ")",
                     "its peers reach it only through routers, which its announcements cross "
                     "only with a TTL above 1",
                     "give " + n + " an interface on the members' network, or check its netmask"));
}

// Offsets are judged against the middle of the clocks heard, this host's
// included, so that one host's wrong clock shows as that host's: ties go to
// this host's clock.
void clockRule(std::vector<Finding> &out, const std::vector<const Member *> &alive, int group,
               const std::string &self) {
  std::vector<long long> clocks{0};
  for (const Member *m : alive) clocks.push_back(m->h->timeoff);
  std::vector<long long> sorted = clocks;
  std::sort(sorted.begin(), sorted.end());
  long long ref = sorted[(sorted.size() - 1) / 2];
  long long limit = std::max(kClockNoise, group);
  auto say = [&](const std::string &who, const std::string &name, long long off) {
    std::string how = num(off > 0 ? off : -off) + " s " + (off > 0 ? "ahead of" : "behind");
    out.push_back(make(kWarning, "clock_offset", name, who + " clock is " + how + " the group's",
                       "session times are brought across clocks only by the offset of the last "
                       "announcement, so when the clock is set right lookups may take an older "
                       "session for the newest for an interval, and log times disagree",
                       "keep " + name + "'s clock synchronised (systemd-timesyncd, chrony or ntpd)"));
  };
  bool selfOff = ref < -limit || ref > limit;
  if (selfOff) say("this host's (" + self + ")", self, -ref);
  for (const Member *m : alive) {
    long long off = m->h->timeoff - ref;
    // This host's own member, heard by loop-back, is the same clock.
    if ((off < -limit || off > limit) && !(selfOff && text(m->h->name) == self))
      say(text(m->h->name) + "'s", text(m->h->name), off);
  }
}

}  // namespace

const char *severityWord(Severity s) { return s == kError ? "error" : "warning"; }

std::string findingLine(const Finding &f) {
  return std::string(severityWord(f.severity)) + "  " + f.sees + ": " + f.costs + "; " + f.fix;
}

Json findingJson(const Finding &f) {
  return Json{{"severity", severityWord(f.severity)}, {"kind", f.kind}, {"name", f.name},
              {"sees", f.sees}, {"costs", f.costs}, {"fix", f.fix}};
}

int worst(const std::vector<Finding> &fs) {
  int w = 0;
  for (const Finding &f : fs) w = std::max(w, (int)f.severity);
  return w;
}

void settle(std::vector<Finding> *fs) {
  auto key = [](const Finding &f) { return std::tie(f.kind, f.name, f.sees); };
  std::sort(fs->begin(), fs->end(), [&](const Finding &a, const Finding &b) {
    return a.severity != b.severity ? a.severity > b.severity : key(a) < key(b);
  });
  fs->erase(std::unique(fs->begin(), fs->end(),
                        [&](const Finding &a, const Finding &b) { return key(a) == key(b); }),
            fs->end());
}

std::string thisHostName() {
  char name[256] = "";
  gethostname(name, sizeof name - 1);
  return name;
}

std::vector<Finding> groupFindings(const Roster &r, time_t now, const std::string &self) {
  std::vector<Finding> out;
  std::vector<const Member *> alive = aliveMembers(r, now);
  int group = groupPeriod(alive);
  std::vector<const Member *> networked;
  for (const Member *m : alive)
    if (m->h->numifs > 0) networked.push_back(m);
  for (const Member *m : alive) {
    std::string n = text(m->h->name);
    loopbackRule(out, *m, n);
    conflictRule(out, *m, n, now);
    periodRule(out, *m, n, group);
    ttlRule(out, r, *m, n);
    sizeRules(out, *m, n);
    if (networked.size() >= 2) loneRule(out, networked, *m, n);
  }
  if (!alive.empty()) clockRule(out, alive, group, self);
  settle(&out);
  return out;
}

// ---- This host ------------------------------------------------------------

namespace {

std::string portText(const LocalFacts &f) { return "UDP port " + num(f.port); }

void portRules(std::vector<Finding> &out, const LocalFacts &f) {
  const std::string &h = f.hostName;
  // An owner this user cannot see may well be a group manager: no finding,
  // unless it keeps the port from being shared (below).
  bool told = false;
  for (const PortHolder &p : f.holders) {
    if (p.manager || p.pid < 0) continue;
    told = true;
    std::string who = p.program + " (pid " + num(p.pid) + ")";
    out.push_back(make(kError, "port_taken", h,
                       who + " holds " + portText(f) + " on " +
                           (p.addr == 0 ? std::string("every address") : dotted(p.addr)) +
                           " and is no group manager",
                       f.portFree ? "it takes datagrams sent to this host's port, so queries and "
                                    "replies meant for a group manager here go to it instead"
                                  : "it does not share the port, so no group manager can start "
                                    "on this host (\"MulticastOpen failed\")",
                       "stop it, or move it or the group to another port"));
  }
  if (!f.portFree && !told)
    out.push_back(make(kError, "port_taken", h,
                       portText(f) + " is held, without sharing, by a process this user cannot see",
                       "no group manager can start on this host (\"MulticastOpen failed\")",
                       "find it as root (ss -ulpn sport = :" + num(f.port) + ") and stop it"));
  for (const FilterRule &r : f.filters) {
    bool hard = r.verdict != "policy drop";
    out.push_back(make(hard ? kError : kWarning, "port_filtered", h,
                       hard ? "nftables " + r.where + " " + r.verdict + "s " + portText(f)
                            : "nftables " + r.where + " drops by default and no rule of it "
                              "names " + portText(f),
                       hard ? "announcements and queries never reach a group manager or "
                              "this command here"
                            : "unless another of its rules lets them in, announcements and "
                              "queries never reach a group manager here",
                       "accept " + portText(f) + " from the group's networks before that rule"));
  }
}

void multicastRules(std::vector<Finding> &out, const LocalFacts &f) {
  const std::string &h = f.hostName;
  if (f.interfaces == 0)
    out.push_back(make(kError, "no_interface", h,
                       "this host has no interface a group manager would use (up, with "
                       "broadcast, not loopback)",
                       "a group manager here announces nothing and hears no one",
                       "bring up its LAN interface"));
  for (const auto &[ifname, err] : f.joinFailures) {
    bool limit = err == ENOBUFS;
    out.push_back(make(kError, "group_not_joined", h,
                       "the group " + f.group + " cannot be joined on " + ifname + " (" +
                           strerror(err) + ")",
                       "announcements that arrive on " + ifname +
                           " are not heard here, by a group manager or this command",
                       limit ? "raise net.ipv4.igmp_max_memberships (now " + num(f.igmpLimit) +
                                   ") above the number of interfaces"
                             : "check " + ifname + "'s multicast setting (ip link set " + ifname +
                                   " multicast on)"));
  }
  if (!f.listenError.empty() && f.joinFailures.empty() && f.interfaces != 0)
    out.push_back(make(kError, "cannot_listen", h, "this command cannot listen (" + f.listenError + ")",
                       "nothing the members announce can be checked from here",
                       "run it as a user that may bind " + portText(f) + ", or see the reason"));
}

void nameRules(std::vector<Finding> &out, const LocalFacts &f) {
  const std::string &h = f.hostName;
  if (!f.member) return;
  if (f.resolved == 0)
    out.push_back(make(kError, "name_unresolved", h,
                       "this host's name " + h + " does not resolve to an IPv4 address",
                       "the group manager here cannot start again (\"Can't translate hostname\")",
                       "give " + h + " its LAN address in /etc/hosts"));
  if (f.resolved == 1 && isLoopback(f.address))
    out.push_back(make(kError, "loopback_address", h,
                       "this host's name " + h + " resolves to " + dotted(f.address),
                       "the group manager here announces that address: sessions placed on it "
                       "from routed networks go nowhere",
                       "give " + h + "'s name its LAN address in /etc/hosts"));
}

void secretRules(std::vector<Finding> &out, const LocalFacts &f) {
  const std::string &h = f.hostName, &p = f.secretPath;
  if (p.empty()) return;
  if (!f.secretRefused.empty()) {
    out.push_back(make(kError, "secret_refused", h, "the secret file " + p + " " + f.secretRefused,
                       "the group manager refuses it and runs without a secret, so members that "
                       "sign do not trust it and it trusts any sender",
                       "chown root:root " + p + " && chmod 600 " + p));
    return;
  }
  if (f.secretBits >= 0 && f.secretBits < kSecretBits) {
    char bits[32];
    snprintf(bits, sizeof bits, "%.0f", f.secretBits);
    out.push_back(make(kError, "short_secret", h,
                       "the secret in " + p + " is " + num((long long)f.secretBytes) +
                           " bytes, at most about " + bits + " bits",
                       "one recorded message lets anyone try secrets offline at billions a "
                       "second and then sign as a member",
                       "put at least 16 random bytes into it on every member (head -c 24 "
                       "/dev/urandom | base64 > " + p + ")"));
  }
}

}  // namespace

std::vector<Finding> localFindings(const LocalFacts &f) {
  std::vector<Finding> out;
  nameRules(out, f);
  multicastRules(out, f);
  portRules(out, f);
  secretRules(out, f);
  if (f.listenError.empty() && f.heard == 0) {
    char secs[32];
    snprintf(secs, sizeof secs, "%.0f", f.listened);
    out.push_back(make(kWarning, "nothing_heard", f.hostName,
                       "no member was heard " +
                           (f.group.empty() ? std::string("by broadcast") : "on " + f.group) +
                           " " + portText(f) + " in " + secs + " s",
                       "either no member runs on this host's networks, or their announcements do "
                       "not reach it",
                       "check the members' group, port and mode (--group, --port, --broadcast) "
                       "and the filters between"));
  }
  settle(&out);
  return out;
}

// ---- Facts from texts ---------------------------------------------------------

namespace {

// Whether the right side of an nftables match holds port: a number, a set
// of numbers and ranges, or a range.
bool holds(const Json &right, int port) {
  if (right.is_number_integer()) return right.get<int>() == port;
  if (right.is_object() && right.contains("range")) {
    const Json &r = right["range"];
    return r.is_array() && r.size() == 2 && r[0].is_number() && r[1].is_number() &&
           r[0].get<int>() <= port && port <= r[1].get<int>();
  }
  if (right.is_object() && right.contains("set") && right["set"].is_array())
    for (const Json &e : right["set"])
      if (holds(e, port)) return true;
  return false;
}

// The verdict of a rule's expressions and whether one of its matches names
// the UDP destination port.
std::pair<std::string, bool> verdictOf(const Json &exprs, int port) {
  std::string verdict;
  bool names = false;
  for (const Json &e : exprs) {
    if (!e.is_object()) continue;
    for (const char *v : {"drop", "reject", "accept"})
      if (e.contains(v)) verdict = v;
    if (!e.contains("match")) continue;
    const Json &m = e["match"];
    const Json &left = m.value("left", Json());
    if (!left.is_object() || !left.contains("payload")) continue;
    const Json &pl = left["payload"];
    std::string proto = pl.value("protocol", ""), field = pl.value("field", "");
    std::string op = m.value("op", "==");
    if ((proto == "udp" || proto == "th") && field == "dport" && (op == "==" || op == "in") &&
        holds(m.value("right", Json()), port))
      names = true;
  }
  return {verdict, names};
}

}  // namespace

std::vector<FilterRule> portFilters(const std::string &nftJson, int port) {
  std::vector<FilterRule> out;
  Json doc = Json::parse(nftJson, nullptr, false);
  if (!doc.is_object() || !doc.contains("nftables") || !doc["nftables"].is_array()) return out;
  // The chains that datagrams to this host pass, by family, table and name.
  std::map<std::tuple<std::string, std::string, std::string>, std::string> chains;  // policy
  std::map<std::tuple<std::string, std::string, std::string>, bool> accepted;
  for (const Json &item : doc["nftables"]) {
    if (!item.is_object() || !item.contains("chain")) continue;
    const Json &c = item["chain"];
    std::string family = c.value("family", ""), hook = c.value("hook", "");
    if ((family == "ip" || family == "inet") && (hook == "input" || hook == "prerouting"))
      chains[{family, c.value("table", ""), c.value("name", "")}] = c.value("policy", "accept");
  }
  auto where = [](const std::tuple<std::string, std::string, std::string> &k) {
    return "table " + std::get<0>(k) + " " + std::get<1>(k) + ", chain " + std::get<2>(k);
  };
  for (const Json &item : doc["nftables"]) {
    if (!item.is_object() || !item.contains("rule")) continue;
    const Json &r = item["rule"];
    auto k = std::make_tuple(r.value("family", ""), r.value("table", ""), r.value("chain", ""));
    if (chains.count(k) == 0 || !r.contains("expr") || !r["expr"].is_array()) continue;
    auto [verdict, names] = verdictOf(r["expr"], port);
    if (!names) continue;
    if (verdict == "accept") accepted[k] = true;
    if ((verdict == "drop" || verdict == "reject") && !accepted[k])
      out.push_back({where(k), verdict});
  }
  for (const auto &[k, policy] : chains)
    if (policy == "drop" && !accepted[k]) out.push_back({where(k), "policy drop"});
  return out;
}

double secretBits(const std::string &secret) {
  std::string s = secret;
  if (!s.empty() && s.back() == '\n') s.pop_back();
  bool digit = false, lower = false, upper = false, punct = false, other = false;
  for (unsigned char c : s) {
    if (c >= '0' && c <= '9') digit = true;
    else if (c >= 'a' && c <= 'z') lower = true;
    else if (c >= 'A' && c <= 'Z') upper = true;
    else if (c >= ' ' && c <= '~') punct = true;
    else other = true;
  }
  double alphabet = other ? 256 : 10 * digit + 26 * lower + 26 * upper + 33 * punct;
  return s.empty() ? 0 : (double)s.size() * log2(alphabet);
}

std::string secretRefusal(const struct stat &st) {
  char mode[8];
  snprintf(mode, sizeof mode, "%04o", (unsigned)(st.st_mode & 07777));
  if (st.st_uid != 0) return "is owned by user " + num(st.st_uid) + ", not by root";
  if ((st.st_mode & 077) != 0) return std::string("has mode ") + mode + " (group or others have access)";
  if (st.st_size > 0x7fffffffLL - GM_BUFSIZE) return "is too large to hold";
  return "";
}

}  // namespace zvgm
