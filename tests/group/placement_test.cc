// placement_test.cc - session placement across whole servers in the network
// testbed: where a token's session runs, a session elsewhere overriding a
// forced server, terminal lookups, session lists, an odd terminal id, and
// lookups racing on many daemon threads. (A peer that stops and comes back:
// fault_test. Forced servers and the least-loaded draw on a table: the unit
// tests Status.ServerChoiceWithoutQueries and Choice.*; remote members'
// placement weights from their announcements: zvgm_test's metrics.)
#include <time.h>

#include <algorithm>
#include <map>
#include <regex>

#include <gtest/gtest.h>

#include "harness.h"
#include "wire.h"

using namespace tb;
using namespace tb::common;

namespace {

const std::string kClient = "203.0.113.99";  // a terminal on the nimbar subnet
const std::string kSecret = "placement group secret\n";

// The servers: alpha asks and balances load, bravo serves LAN clients too,
// charlie is offline, delta holds another secret and so is not trusted.
const std::vector<std::string> kServers{"alpha", "bravo", "charlie", "delta"};

// What sets a server apart from the others.
std::map<std::string, std::vector<std::string>> extra{{"alpha", {"enableLoadBalancing=true"}},
                                                       {"bravo", {"allowLANConnections=true"}}};

// A server's address on eth1 (the nimbar subnet) in the answers' hex form.
std::string nimbarHex(Testbed &tb, const std::string &name) { return hexAddr(tb.ip(name, 1)); }

std::string which(Daemon &d, const std::string &c, const std::string &ip, const std::string &f,
                  int timeoutMs = 15000) {
  std::vector<std::string> r = d.ask("which " + c + " - " + ip + " " + f, timeoutMs);
  return r.size() == 1 && r[0].rfind("which ", 0) == 0 ? r[0].substr(6) : "?";  // "?": a bad reply
}

// Whether answer is "<hex>:<trusted>:<age>" with the age within 3 periods.
::testing::AssertionResult names(const std::string &answer, const std::string &hex,
                                 const char *trusted) {
  std::smatch m;
  static const std::regex form("([0-9a-f]+):(true|false):(-?[0-9]+)");
  if (!std::regex_match(answer, m, form) || m[1] != hex || m[2] != trusted ||
      std::stol(m[3]) < 0 || std::stol(m[3]) > 3 * kPeriod)
    return ::testing::AssertionFailure() << "answer \"" << answer << "\", wanted " << hex << ":"
                                         << trusted << ":<age>";
  return ::testing::AssertionSuccess();
}

// Where a token's session runs, also when another server is forced.
void whereSessionsRun(Testbed &tb, Daemon &alpha, Daemon &bravo) {
  const std::string bravoHex = nimbarHex(tb, "bravo");
  EXPECT_TRUE(names(which(alpha, "c-bravo", kClient, "-"), bravoHex, "true"));
  EXPECT_EQ(which(alpha, "c-alpha", kClient, "-"), "");
  EXPECT_TRUE(names(which(alpha, "c-moved", kClient, "-"), bravoHex, "true"));
  EXPECT_EQ(which(bravo, "c-none", kClient, "-"), "");  // no session, no balancing
  EXPECT_TRUE(names(which(bravo, "c-alpha", kClient, "-"), nimbarHex(tb, "alpha"), "true"));
  EXPECT_TRUE(names(which(bravo, "c-idle", kClient, "-"), nimbarHex(tb, "alpha"), "true"));
  // A session elsewhere overrides the forced (untrusted) server.
  EXPECT_TRUE(names(which(alpha, "c-bravo", kClient, "delta"), bravoHex, "false"));
}

// Terminal lookups and session lists, as alpha answers them.
void terminalsAndSessionLists(Testbed &tb, Daemon &alpha) {
  // The primary server of a terminal is whoever has it attached, this
  // server included.
  auto primary = [&](const std::string &who) {
    EXPECT_EQ(alpha.ask("primary term-9 " + kClient),
              std::vector<std::string>{"primary " + (who.empty() ? "" : nimbarHex(tb, who))});
  };
  primary("");
  EXPECT_EQ(tb.daemon("charlie")->ask("attach term-9"), std::vector<std::string>{"attached term-9"});
  primary("charlie");
  tb.daemon("charlie")->ask("detach term-9"), alpha.ask("attach term-9");
  primary("alpha");
  alpha.ask("detach term-9");
  primary("");

  // Session lists: one line per interface asked. Without a client address
  // bravo (LAN_OK) is asked on both interfaces, the others on eth1 only;
  // with one, every trusted server on the client's subnet.
  std::vector<std::string> all = alpha.ask("sessions c-bravo - -");
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), 4u);
  EXPECT_EQ(all[0], "alpha -1 -1 0");
  EXPECT_EQ(all[3], "charlie -1 -1 1");
  for (int i : {1, 2}) EXPECT_TRUE(std::regex_match(all[i], std::regex("bravo 3 [0-9]+ 0"))) << all[i];
  std::vector<std::string> sub = alpha.ask("sessions c-bravo - " + kClient);
  std::sort(sub.begin(), sub.end());
  ASSERT_EQ(sub.size(), 3u);
  EXPECT_EQ(sub[0], "alpha -1 -1 0");
  EXPECT_EQ(sub[1].rfind("bravo 3 ", 0), 0u) << sub[1];
  EXPECT_EQ(sub[2], "charlie -1 -1 1");
  // (Admission, the dedicated subnet only, also once the interfaces change:
  // group_test's flags test.)
}

// Queries from outside: an odd terminal id, and sixteen daemon threads
// looking up at once. (Server queries, each interface's answer and LAN_OK's
// part in it: the unit test Responders.ServerQueryAnsweredFromTheServingInterface;
// a member's answer from its interface as captured: zvgm_test.)
void queriesFromOutside(Testbed &tb, Daemon &alpha) {
  // A terminal id off the wire that is not ASCII reaches the daemon with '?'
  // for each such byte (the JVM never gets malformed text); the reply echoes
  // the id as it came.
  alpha.ask("attach ??");
  std::vector<Datagram> odd = tb.ask("obs", tb.ip("alpha", 1), "termQ=\xff\xfe at=1 hostix=0\\n", 1500);
  alpha.ask("detach ??");
  ASSERT_EQ(odd.size(), 1u);
  EXPECT_TRUE(odd[0].src == tb.ip("alpha", 1) && odd[0].port == 7009) << odd[0].src << ":" << odd[0].port;
  EXPECT_EQ(odd[0].bytes.rfind("termR=\xff\xfe at=1 hostix=0 has=1\n#sig=", 0), 0u) << odd[0].bytes;

  std::vector<std::string> par = alpha.ask("parallel 16 which c-bravo - " + kClient + " -", 60000);
  ASSERT_EQ(par.size(), 16u);
  for (const std::string &l : par)
    EXPECT_TRUE(l.rfind("which ", 0) == 0 && names(l.substr(6), nimbarHex(tb, "bravo"), "true")) << l;
}

TEST(Placement, AcrossTheGroup) {
  REQUIRE_TESTBED();
  Testbed tb(kServers, true);
  ASSERT_TRUE(tb.ok());
  time_t now = time(nullptr);
  for (const std::string &n : kServers) tb.writeFile(n, "/opt/KORVzv/etc/nimbar.conf", "eth1\n");
  tb.writeFile("charlie", "/var/opt/KORVzv/offline", "");
  tb.addSession("alpha", "c-alpha", 5, now - 30);
  tb.addSession("bravo", "c-bravo", 3, now - 30);
  // The newer of two live sessions wins; an idle display never does.
  tb.addSession("alpha", "c-moved", 6, now - 600);
  tb.addSession("bravo", "c-moved", 4, now - 60);
  tb.addSession("alpha", "c-idle", 8, now - 600);
  tb.addSession("bravo", "c-idle", 7, now - 60, true);
  for (const std::string &n : kServers)
    ASSERT_NE(startSigned(tb, n, n == "delta" ? "another secret\n" : kSecret, extra[n]), nullptr) << n;
  Daemon &alpha = *tb.daemon("alpha"), &bravo = *tb.daemon("bravo");
  // alpha's table holds every server on both interfaces, heard lately, with
  // the trust and offline marks of the set-up.
  ASSERT_TRUE(Testbed::waitFor([&] {
    std::vector<HostView> hs = alpha.status();
    return holds(tb, alpha, kServers, kServers, 2 * kPeriod, {"delta"}, 2) &&
           std::all_of(hs.begin(), hs.end(), [](auto &h) { return h.has("OFFLINE") == (h.name == "charlie"); });
  }, 20000)) << "alpha does not see the group as set up";
  // The one wait for the start grace of alpha and bravo.
  EXPECT_EQ(alpha.ask("numhosts", 40000), std::vector<std::string>{"numhosts 4"});
  EXPECT_EQ(bravo.ask("numhosts", 40000), std::vector<std::string>{"numhosts 4"});
  whereSessionsRun(tb, alpha, bravo);
  terminalsAndSessionLists(tb, alpha);
  queriesFromOutside(tb, alpha);
}

}  // namespace
