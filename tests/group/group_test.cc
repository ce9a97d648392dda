// group_test.cc - whole servers in the network testbed: real daemons (JVM
// under -Xcheck:jni) form groups by multicast and by broadcast, announce in
// the documented format, trust by shared secret, follow the marker files and
// the admin tool; the light server announces exactly as the daemon does. (A
// restarted server keeping its slot: fault_test; a peer's LAN_OK as the
// table holds it: placement_test's session lists.)
#include <time.h>
#include <unistd.h>

#include <regex>

#include <gtest/gtest.h>

#include "harness.h"
#include "wire.h"

using namespace tb;
using namespace tb::common;

namespace {

const std::vector<std::string> kThree{"alpha", "bravo", "charlie"};

// A server's properties, sending by multicast or by broadcast.
std::vector<std::string> cast(bool multicast, std::vector<std::string> more = {}) {
  more.push_back(std::string("enableMulticast=") + (multicast ? "true" : "false"));
  return props(more);
}

// Starts names (of kind light where light names them), each with its secret
// in secrets when there is one, waits until every server sees the group with
// trust where the secrets agree, and checks what the wire then carries:
// every datagram an announcement of one of the servers, as expected, every
// server heard on every interface. Returns the datagrams.
std::vector<Datagram> formGroup(Testbed &tb, const std::vector<std::string> &names, size_t nifs,
                                bool multicast, std::map<std::string, std::string> secrets = {},
                                const std::set<std::string> &light = {}) {
  long started = (long)time(nullptr);
  for (const std::string &n : names) {
    std::vector<std::string> p = cast(multicast);
    if (!secrets[n].empty())
      tb.writeFile(n, kSecretFile, secrets[n], 0600), p.push_back("gmSignatureFile=" + kSecretFile);
    EXPECT_NE(tb.start(n, p, light.count(n) ? Kind::light : Kind::jvm), nullptr) << n;
  }
  for (const std::string &n : names) {
    std::set<std::string> untrusted;
    for (const std::string &m : names)
      if (secrets[m] != secrets[n]) untrusted.insert(m);
    EXPECT_TRUE(Testbed::waitFor(
        [&] { return tb.daemon(n) && holds(tb, *tb.daemon(n), names, names, 3 * kPeriod, untrusted, nifs); },
        15000))
        << n << " does not see the group with the expected trust";
  }
  auto obs = tb.observe(3 * kPeriod, multicast);
  std::vector<Datagram> got = obs ? obs->collect(30000) : std::vector<Datagram>{};
  EXPECT_NE(obs, nullptr);
  std::map<std::string, int> perSource;
  for (const Datagram &d : got) {
    perSource[d.src]++;
    AnnounceExpect e;
    for (const std::string &n : names)
      for (size_t i = 0; i < nifs; i++)
        if (tb.ip(n, (int)i) == d.src) e.name = n;
    if (e.name.empty()) {
      ADD_FAILURE() << "datagram from " << d.src;
      continue;
    }
    e.addr = tb.ip(e.name), e.flags = nifs > 1 ? 0x5 : 0x4;  // TRUSTED, and ROUTER with two interfaces
    e.period = kPeriod, e.earliestStart = started, e.signedWith = !secrets[e.name].empty(), e.cpus = cpuCount();
    static const char *const bcast[] = {"198.51.100.255", "203.0.113.255"};
    for (size_t i = 0; i < nifs; i++)
      e.ifs.push_back({"eth" + std::to_string(i), tb.ip(e.name, (int)i), "255.255.255.0", bcast[i], 1});
    EXPECT_EQ(d.port, 7009) << d.src;
    EXPECT_EQ(checkAnnouncement(d, e, d.at), "") << "from " << d.src << ":\n" << d.bytes;
  }
  for (const std::string &n : names)
    for (size_t i = 0; i < nifs; i++) EXPECT_GE(perSource[tb.ip(n, (int)i)], 2) << n << " eth" << i;
  return got;
}

TEST(Group, BroadcastGroup) {
  REQUIRE_TESTBED();
  Testbed tb(kThree, false);
  ASSERT_TRUE(tb.ok());
  formGroup(tb, kThree, 1, false);
}

// An announcement with what must differ between two servers replaced: the
// sender's name and addresses, the times, the load it measured when it was
// sent, and the signature over all of these.
std::string normalised(Testbed &tb, const std::string &name, std::string text) {
  text = text.substr(0, text.find("#sig="));
  text = std::regex_replace(text, std::regex("host=" + name + " "), "host=NAME ");
  text = std::regex_replace(text, std::regex(" addr=" + hexAddr(tb.ip(name)) + " "), " addr=A ");
  for (int i = 0; i < 2; i++)
    text = std::regex_replace(text, std::regex(" ip=" + hexAddr(tb.ip(name, i)) + " "),
                              " ip=I" + std::to_string(i) + " ");
  text = std::regex_replace(text, std::regex(" (time|starttime)=[0-9]+"), " $1=T");
  return std::regex_replace(text, std::regex(" load=[0-9.]+"), " load=L");
}

// A multicast group over two interfaces where the shared secret decides
// trust (charlie holds another), and bravo, a light server, announces
// exactly as the daemon alpha does.
TEST(Group, MulticastTrustAndTheLightServer) {
  REQUIRE_LIGHT_TESTBED();
  Testbed tb(kThree, true);
  ASSERT_TRUE(tb.ok());
  std::map<std::string, std::set<std::string>> texts;  // per sender, normalised
  for (const Datagram &d : formGroup(tb, kThree, 2, true,
                                     {{"alpha", "shared\n"}, {"bravo", "shared\n"}, {"charlie", "another\n"}},
                                     {"bravo"}))
    for (const std::string &n : kThree)
      for (int i = 0; i < 2; i++)
        if (d.src == tb.ip(n, i)) texts[n].insert(normalised(tb, n, d.bytes));
  ASSERT_EQ(texts["alpha"].size(), 1u) << "the daemon's announcements differ among themselves";
  EXPECT_EQ(texts["bravo"], texts["alpha"]);
}

TEST(Group, FlagsFollowMarkersAndAdminTool) {
  REQUIRE_TESTBED();
  Testbed tb({"alpha", "bravo"}, true);
  ASSERT_TRUE(tb.ok());
  tb.writeFile("alpha", "/opt/KORVzv/etc/nimbar.conf", "eth1\n");
  Daemon *alpha = tb.start("alpha", cast(true));
  Daemon *bravo = tb.start("bravo", cast(true, {"allowLANConnections=true"}));
  ASSERT_TRUE(alpha && bravo);

  // alpha as both servers see it: flags, numifs and which interfaces are LAN.
  auto alphaIs = [&](std::set<std::string> flags, std::vector<std::pair<std::string, bool>> lan,
                     int ms = 4 * kPeriod * 1000) {
    return Testbed::waitFor(
        [&] {
          for (Daemon *d : {alpha, bravo}) {
            std::vector<HostView> hs = d->status();
            const HostView *h = findHost(hs, "alpha");
            if (!h || h->flags != flags || h->ifs.size() != lan.size()) return false;
            for (auto &[name, isLan] : lan)
              if (!h->intf(name) || h->intf(name)->lan != isLan) return false;
          }
          return true;
        },
        ms);
  };
  EXPECT_TRUE(alphaIs({"ROUTER", "TRUSTED"}, {{"eth0", true}, {"eth1", false}}, 15000));

  tb.writeFile("alpha", "/etc/notrouter", "");
  EXPECT_TRUE(alphaIs({"TRUSTED"}, {{"eth0", true}, {"eth1", false}}));
  tb.writeFile("alpha", "/var/opt/KORVzv/offline", "");
  EXPECT_TRUE(alphaIs({"TRUSTED", "OFFLINE"}, {{"eth0", true}, {"eth1", false}}));
  tb.removeFile("alpha", "/var/opt/KORVzv/offline");
  EXPECT_TRUE(alphaIs({"TRUSTED"}, {{"eth0", true}, {"eth1", false}}));

  // The tool's list counts once the interfaces change: eth1 goes, eth0
  // becomes the dedicated one; eth1 comes back as a LAN interface.
  tb.writeFile("alpha", "/opt/KORVzv/etc/nimbar.conf", "eth0\n");
  tb.removeFile("alpha", "/etc/notrouter");
  ASSERT_EQ(tb.run("alpha", {"ip", "addr", "flush", "dev", "eth1"}), 0);
  EXPECT_TRUE(alphaIs({"TRUSTED"}, {{"eth0", false}}));
  ASSERT_EQ(tb.run("alpha", {"ip", "addr", "add", Testbed::ip(1, 1) + "/24", "brd", "+", "dev", "eth1"}), 0);
  EXPECT_TRUE(alphaIs({"ROUTER", "TRUSTED"}, {{"eth0", false}, {"eth1", true}}));

  // Admission follows the interface flags: only the dedicated subnet.
  EXPECT_EQ(alpha->ask("allowed 198.51.100.99", 40000), std::vector<std::string>{"allowed true"});
  EXPECT_EQ(alpha->ask("allowed 203.0.113.99"), std::vector<std::string>{"allowed false"});
  EXPECT_EQ(alpha->ask("allowed 192.0.2.1"), std::vector<std::string>{"allowed false"});
}

}  // namespace
