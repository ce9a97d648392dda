// findings_test.cc - the rules of zvgm doctor and serve: announcements fed
// to a roster at chosen times, and this host's facts, each case against the
// findings it must give and no other; the firewall and secret readings.
#include <errno.h>
#include <math.h>

#include <string>
#include <vector>

#include "findings.h"
#include "testutil.h"

using namespace zvgm;

namespace {

const time_t kT = 1100000000;

// One announcement of name from its first interface (198.51.100.<host>
// unless told), heard at kT + at; each setter returns a changed copy.
struct Heard {
  std::string name;
  int host, at_ = 0, period_ = 2, clock_ = 0, start_ = 1, numifs_ = -1;
  std::vector<std::string> ifs_ = {};
  Arrival arrival_ = {};
  std::string addr_ = "";  // announced address, hex; default the first interface's
  Heard(std::string n, int h) : name(std::move(n)), host(h) {}
  Heard at(int v) const { Heard c = *this; c.at_ = v; return c; }
  Heard period(int v) const { Heard c = *this; c.period_ = v; return c; }
  Heard clock(int v) const { Heard c = *this; c.clock_ = v; return c; }
  Heard start(int v) const { Heard c = *this; c.start_ = v; return c; }
  Heard numifs(int v) const { Heard c = *this; c.numifs_ = v; return c; }
  Heard ifs(std::vector<std::string> v) const { Heard c = *this; c.ifs_ = std::move(v); return c; }
  Heard arrival(int size, int ttl) const { Heard c = *this; c.arrival_ = {size, ttl}; return c; }
  Heard addr(std::string v) const { Heard c = *this; c.addr_ = std::move(v); return c; }
};

std::string hex(const std::string &dotted) {
  char b[16];
  snprintf(b, sizeof b, "%x", ntohl(inet_addr(dotted.c_str())));
  return b;
}

void feed(Roster &r, const Heard &h) {
  std::vector<std::string> ifs = h.ifs_;
  if (ifs.empty()) ifs.push_back("198.51.100." + std::to_string(h.host));
  std::string text = "host=" + h.name + " addr=" + (h.addr_.empty() ? hex(ifs[0]) : h.addr_) +
                     " time=" + std::to_string(kT + h.at_ + h.clock_) + " numifs=" +
                     std::to_string(h.numifs_ >= 0 ? h.numifs_ : (int)ifs.size()) + " period=" +
                     std::to_string(h.period_) + " starttime=" + std::to_string(h.start_) + "\n";
  for (const std::string &i : ifs)
    text += "interface=eth0 ip=" + hex(i) + " mask=ffffff00 bcast=" +
            hex(i.substr(0, i.rfind('.')) + ".255") + " flags=1\n";
  text += "sessions=0 idles=0\n";
  fakeNow = kT + h.at_;
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back('\0');
  Arrival a = h.arrival_;
  if (a.size < 0) a.size = (int)text.size();
  r.take(buf.data(), (int)text.size(), inet_addr(ifs[0].c_str()), fakeNow, a);
}

std::string said(const std::vector<Finding> &fs) {
  std::string s;
  for (const Finding &f : fs) s += f.kind + ":" + f.name + ":" + severityWord(f.severity) + " ";
  return s;
}

using Findings = GroupTest;

TEST_F(Findings, OnWhatWasHeard) {
  gmSys.now = fakeClock;
  Heard a("alpha", 11), b("bravo", 12), c("charlie", 13), a2("alpha", 12);
  const struct {
    const char *what;
    std::vector<Heard> heard;
    std::string want;
  } cases[] = {
      {"clean", {a, b, c}, ""},
      {"loopback", {a, b, c.addr("7f000101")}, "loopback_address:charlie:error "},
      // Two servers of one name, each heard twice: the name goes back twice.
      {"one name twice", {a, b, a2, a.at(2), a2.at(2)}, "name_conflict:alpha:error "},
      // A restart hands the name on once; an interface that goes and comes
      // back hands it back once.
      {"restart", {a, b, a.at(1).start(2), a.at(2).start(2)}, ""},
      {"flap", {a, b, a.at(1).ifs({"198.51.100.11", "203.0.113.11"}), a.at(2)}, ""},
      {"period", {a, b, c.period(3)}, "period_mismatch:charlie:warning "},
      {"period tie goes to the shortest", {a, b.period(3)}, "period_mismatch:bravo:warning "},
      {"clock", {a, b, c.clock(600)}, "clock_offset:charlie:warning "},
      {"clock within an interval", {a, b, c.clock(2)}, ""},
      {"this host's clock", {a.clock(-90), b.clock(-90), Heard("me", 14)}, "clock_offset:me:warning "},
      {"ttl", {a, b, c.arrival(-1, 4)}, "multicast_ttl:charlie:warning "},
      {"ttl 1", {a, b, c.arrival(-1, 1)}, ""},
      {"oversize", {a, b, c.arrival(1600, -1).numifs(3)}, "oversize:charlie:error "},
      {"unlisted", {a, b, c.numifs(3)}, "interfaces_unlisted:charlie:warning "},
      {"lone subnet", {a, b, c.ifs({"203.0.113.13"})}, "lone_subnet:charlie:warning "},
      {"two on their own", {a.ifs({"203.0.113.11"}), b}, "lone_subnet:alpha:warning lone_subnet:bravo:warning "},
  };
  for (const auto &c : cases) {
    Roster r;
    for (const Heard &h : c.heard) feed(r, h);
    EXPECT_EQ(said(groupFindings(r, kT + 3, "me")), c.want) << c.what;
  }
  // Judged over three intervals: a conflict long over is no longer one,
  // nor is anything about a member that is no longer alive.
  Roster r;
  for (const Heard &h : {a, b, c.period(3).clock(600), a2, a.at(2), a2.at(2)}) feed(r, h);
  EXPECT_EQ(said(groupFindings(r, kT + 6, "me")),
            "name_conflict:alpha:error clock_offset:charlie:warning period_mismatch:charlie:warning ");
  feed(r, a2.at(7)), feed(r, b.at(7));
  EXPECT_EQ(said(groupFindings(r, kT + 10, "me")), "");
  // Broadcasts keep their TTL of 64: no finding in broadcast mode.
  Options o;
  o.broadcast = true;
  std::string err;
  ASSERT_TRUE(r.prepare(o, &err)) << err;
  feed(r, Heard("delta", 14).at(10).arrival(-1, 64));
  EXPECT_EQ(said(groupFindings(r, kT + 10, "me")), "");
}

TEST(FindingsOnThisHost, EachFactItsFinding) {
  LocalFacts base;
  base.hostName = "alpha", base.group = GM_DEFAULT_GROUP, base.interfaces = 1, base.heard = 2;
  auto with = [&](auto change) { LocalFacts f = base; change(f); return f; };
  const struct {
    const char *what;
    LocalFacts f;
    std::string want;
  } cases[] = {
      {"clean", base, ""},
      {"loopback name, no member here", with([](LocalFacts &f) { f.resolved = 1, f.address = inet_addr("127.0.1.1"); }), ""},
      {"loopback name of a member", with([](LocalFacts &f) { f.member = true, f.resolved = 1, f.address = inet_addr("127.0.1.1"); }), "loopback_address:alpha:error "},
      {"unresolved member", with([](LocalFacts &f) { f.member = true, f.resolved = 0; }), "name_unresolved:alpha:error "},
      {"no interface", with([](LocalFacts &f) { f.interfaces = 0, f.listenError = "none", f.heard = 0; }), "no_interface:alpha:error "},
      {"cannot listen", with([](LocalFacts &f) { f.listenError = "bind", f.heard = 0; }), "cannot_listen:alpha:error "},
      {"not joined", with([](LocalFacts &f) { f.joinFailures = {{"eth0", ENOBUFS}}; }), "group_not_joined:alpha:error "},
      {"holder", with([](LocalFacts &f) { f.holders = {{0, 42, "nc", false}, {0, 7, "zvgm-light", true}, {0, -1, "", false}}; }), "port_taken:alpha:error "},
      {"manager or unseen", with([](LocalFacts &f) { f.holders = {{0, 7, "java", true}, {0, -1, "", false}}; }), ""},
      {"held unseen", with([](LocalFacts &f) { f.portFree = false, f.holders = {{0, -1, "", false}}; }), "port_taken:alpha:error "},
      {"dropped", with([](LocalFacts &f) { f.filters = {{"table inet t, chain input", "drop"}}; }), "port_filtered:alpha:error "},
      {"policy", with([](LocalFacts &f) { f.filters = {{"table inet t, chain input", "policy drop"}}; }), "port_filtered:alpha:warning "},
      {"refused secret", with([](LocalFacts &f) { f.secretPath = "/s", f.secretRefused = "has mode 0644"; }), "secret_refused:alpha:error "},
      {"short secret", with([](LocalFacts &f) { f.secretPath = "/s", f.secretBits = 31; }), "short_secret:alpha:error "},
      {"good secret", with([](LocalFacts &f) { f.secretPath = "/s", f.secretBits = 128; }), ""},
      {"nothing heard", with([](LocalFacts &f) { f.heard = 0; }), "nothing_heard:alpha:warning "},
  };
  for (const auto &c : cases) EXPECT_EQ(said(localFindings(c.f)), c.want) << c.what;
  std::vector<Finding> fs = localFindings(cases[6].f);
  EXPECT_NE(fs.at(0).fix.find("igmp_max_memberships"), std::string::npos);
  fs.push_back(localFindings(cases[11].f).at(0));
  settle(&fs);
  EXPECT_EQ(worst(fs), 2);
  EXPECT_EQ(findingLine(fs.back()), "warning  nftables table inet t, chain input drops by default and no rule of it names UDP port 7009: "
                                    "unless another of its rules lets them in, announcements and queries never reach a group manager here; "
                                    "accept UDP port 7009 from the group's networks before that rule");
  EXPECT_EQ(worst({}), 0);
}

TEST(FindingsFromTexts, FirewallAndSecret) {
  // A chain on the way in with the given policy and one rule, beside an
  // output chain that drops the port (which stops nothing coming in).
  auto rules = [](const std::string &policy, const std::string &exprs) {
    auto rule = [](const char *chain, const std::string &e) {
      return R"(,{"rule":{"family":"inet","table":"t","chain":")" + std::string(chain) + R"(","expr":)" + e + "}}";
    };
    return R"({"nftables":[{"chain":{"family":"inet","table":"t","name":"in","hook":"input","policy":")" + policy +
           R"("}},{"chain":{"family":"inet","table":"t","name":"out","hook":"output"}})" + rule("in", exprs) +
           rule("out", R"([{"match":{"op":"==","left":{"payload":{"protocol":"udp","field":"dport"}},"right":7009}},{"drop":null}])") +
           "]}";
  };
  const std::string udp = R"({"match":{"op":"==","left":{"payload":{"protocol":"udp","field":"dport"}},"right":)";
  const struct {
    std::string json, want;
  } cases[] = {
      {rules("accept", "[" + udp + "7009}},{\"drop\":null}]"), "drop "},
      {rules("accept", "[" + udp + "{\"set\":[{\"range\":[7000,7010]},8000]}}},{\"reject\":null}]"), "reject "},
      {rules("accept", R"([{"match":{"op":"==","left":{"payload":{"protocol":"th","field":"dport"}},"right":{"range":[7009,7009]}}},{"drop":null}])"), "drop "},
      {rules("accept", "[" + udp + "7010}},{\"drop\":null}]"), ""},
      {rules("drop", "[" + udp + "7009}},{\"accept\":null}]"), ""},
      {rules("drop", R"([{"match":{"op":"in","left":{"ct":{"key":"state"}},"right":"established"}},{"accept":null}])"), "policy drop "},
      {"not json", ""},
  };
  for (const auto &c : cases) {
    std::string got;
    for (const FilterRule &r : portFilters(c.json, 7009)) got += r.verdict + " ";
    EXPECT_EQ(got, c.want) << c.json;
  }
  EXPECT_EQ(portFilters(cases[0].json, 7009).at(0).where, "table inet t, chain in");
  EXPECT_NEAR(secretBits("abc123\n"), 6 * log2(36), 1e-9);
  EXPECT_NEAR(secretBits("Ab1 \x01"), 5 * 8, 1e-9);
  EXPECT_EQ(secretBits("\n"), 0);
  struct stat st {};
  st.st_mode = S_IFREG | 0600;
  EXPECT_EQ(secretRefusal(st), "");
  st.st_mode = S_IFREG | 0640;
  EXPECT_EQ(secretRefusal(st), "has mode 0640 (group or others have access)");
  st.st_mode = S_IFREG | 0600, st.st_uid = 1000;
  EXPECT_EQ(secretRefusal(st), "is owned by user 1000, not by root");
}

}  // namespace
