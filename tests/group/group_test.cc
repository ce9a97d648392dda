// group_test.cc - whole servers in the network testbed: real daemons (JVM
// under -Xcheck:jni) form groups by multicast and by broadcast, announce in
// the documented format, trust by shared secret, follow the marker files and
// the admin tool, and keep their slots across a restart; the light server
// announces exactly as the daemon does.
#include <time.h>
#include <unistd.h>

#include <regex>

#include <gtest/gtest.h>

#include "harness.h"
#include "wire.h"

using namespace tb;

namespace {

const int kPeriod = 2;  // keep-alive interval of every daemon here
const std::vector<std::string> kThree{"alpha", "bravo", "charlie"};

std::vector<std::string> props(bool multicast, std::vector<std::string> more = {}) {
  more.push_back("gmKeepAliveInterval=" + std::to_string(kPeriod));
  more.push_back(std::string("enableMulticast=") + (multicast ? "true" : "false"));
  return more;
}

// Whether every one of names appears in d's table with the trust that
// trusted(name) gives, its address, period and interfaces, the peers heard
// lately on every interface.
bool sees(Testbed &tb, Daemon &d, const std::vector<std::string> &names, size_t nifs,
          const std::function<bool(const std::string &)> &trusted = nullptr) {
  std::vector<HostView> hs = d.status();
  if (hs.size() != names.size() || hs[0].name != d.name()) return false;
  for (const std::string &n : names) {
    const HostView *h = findHost(hs, n);
    if (!h || h->addr != std::stoul(hexAddr(tb.ip(n)), nullptr, 16) || h->period != kPeriod ||
        h->ifs.size() != nifs || h->has("TRUSTED") != (trusted ? trusted(n) : true))
      return false;
    for (size_t i = 0; i < nifs; i++)
      if (h->ifs[i].ip != std::stoul(hexAddr(tb.ip(n, (int)i)), nullptr, 16) ||
          h->ifs[i].lastpkt < 0 || h->ifs[i].lastpkt > 3 * kPeriod)
        return false;
  }
  return true;
}

AnnounceExpect expectFor(Testbed &tb, const std::string &name, size_t nifs, long started) {
  AnnounceExpect e;
  e.name = name;
  e.addr = tb.ip(name);
  e.flags = nifs > 1 ? 0x5 : 0x4;  // TRUSTED, and ROUTER with two interfaces
  e.period = kPeriod;
  e.cpus = cpuCount();
  e.earliestStart = started;
  static const char *const bcast[] = {"198.51.100.255", "203.0.113.255"};
  for (size_t i = 0; i < nifs; i++)
    e.ifs.push_back({"eth" + std::to_string(i), tb.ip(name, (int)i), "255.255.255.0", bcast[i], 1});
  return e;
}

// Every datagram heard must be an announcement of one of the servers, as
// expected; every server must be heard on every interface.
void checkWire(Testbed &tb, const std::vector<Datagram> &got,
               const std::map<std::string, AnnounceExpect> &expect, size_t nifs) {
  std::map<std::string, int> perSource;
  for (const Datagram &d : got) {
    perSource[d.src]++;
    const AnnounceExpect *e = nullptr;
    for (auto &[name, x] : expect)
      for (size_t i = 0; i < nifs; i++)
        if (tb.ip(name, (int)i) == d.src) e = &x;
    ASSERT_NE(e, nullptr) << "datagram from " << d.src;
    EXPECT_EQ(d.port, 7009) << d.src;
    EXPECT_EQ(checkAnnouncement(d, *e, d.at), "") << "from " << d.src << ":\n" << d.bytes;
  }
  for (auto &[name, x] : expect)
    for (size_t i = 0; i < nifs; i++)
      EXPECT_GE(perSource[tb.ip(name, (int)i)], 2) << name << " eth" << i;
}

// Three servers form a group; each sees the others, and the wire carries
// exactly their announcements.
void formGroup(bool multicast, bool eth1) {
  size_t nifs = eth1 ? 2 : 1;
  Testbed tb(kThree, eth1);
  ASSERT_TRUE(tb.ok());
  long started = (long)time(nullptr);
  for (const std::string &n : kThree) ASSERT_NE(tb.start(n, props(multicast)), nullptr);
  for (const std::string &n : kThree)
    EXPECT_TRUE(Testbed::waitFor([&] { return sees(tb, *tb.daemon(n), kThree, nifs); }, 15000))
        << n << " does not see the group";
  auto obs = tb.observe(3 * kPeriod, multicast);
  ASSERT_NE(obs, nullptr);
  std::map<std::string, AnnounceExpect> expect;
  for (const std::string &n : kThree) expect[n] = expectFor(tb, n, nifs, started);
  checkWire(tb, obs->collect(30000), expect, nifs);
}

TEST(Group, MulticastGroupOverTwoInterfaces) {
  REQUIRE_TESTBED();
  formGroup(true, true);
}

TEST(Group, BroadcastGroup) {
  REQUIRE_TESTBED();
  formGroup(false, false);
}

TEST(Group, SharedSecretDecidesTrust) {
  REQUIRE_TESTBED();
  Testbed tb(kThree, false);
  ASSERT_TRUE(tb.ok());
  std::map<std::string, std::string> secret{
      {"alpha", "our group's secret\n"}, {"bravo", "our group's secret\n"}, {"charlie", "another\n"}};
  long started = (long)time(nullptr);
  for (const std::string &n : kThree) {
    tb.writeFile(n, "/etc/zvgm.secret", secret[n], 0600);
    ASSERT_NE(tb.start(n, props(true, {"gmSignatureFile=/etc/zvgm.secret"})), nullptr);
  }
  for (const std::string &n : kThree) {
    auto trusted = [&](const std::string &peer) { return secret[peer] == secret[n]; };
    EXPECT_TRUE(
        Testbed::waitFor([&] { return sees(tb, *tb.daemon(n), kThree, 1, trusted); }, 15000))
        << n << " does not see the group with the expected trust";
  }
  auto obs = tb.observe(3 * kPeriod, true);
  ASSERT_NE(obs, nullptr);
  std::map<std::string, AnnounceExpect> expect;
  for (const std::string &n : kThree) {
    expect[n] = expectFor(tb, n, 1, started);
    expect[n].signedWith = true;
    expect[n].secret = secret[n];
  }
  checkWire(tb, obs->collect(30000), expect, 1);
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

TEST(Group, LightServerAnnouncesAsTheDaemon) {
  REQUIRE_TESTBED();
  if (!Testbed::haveLight()) GTEST_SKIP() << "the light server is not built";
  const std::vector<std::string> two{"alpha", "bravo"};
  Testbed tb(two, true);
  ASSERT_TRUE(tb.ok());
  long started = (long)time(nullptr);
  for (const std::string &n : two) tb.writeFile(n, "/etc/zvgm.secret", "shared\n", 0600);
  std::vector<std::string> p = props(true, {"gmSignatureFile=/etc/zvgm.secret"});
  ASSERT_NE(tb.start("alpha", p, Kind::jvm), nullptr);
  ASSERT_NE(tb.start("bravo", p, Kind::light), nullptr);
  for (const std::string &n : two)
    EXPECT_TRUE(Testbed::waitFor([&] { return sees(tb, *tb.daemon(n), two, 2); }, 15000)) << n;
  auto obs = tb.observe(3 * kPeriod, true);
  ASSERT_NE(obs, nullptr);
  std::vector<Datagram> got = obs->collect(30000);
  std::map<std::string, AnnounceExpect> expect;
  for (const std::string &n : two) {
    expect[n] = expectFor(tb, n, 2, started);
    expect[n].signedWith = true;
    expect[n].secret = "shared\n";
  }
  checkWire(tb, got, expect, 2);
  std::map<std::string, std::set<std::string>> texts;  // per sender, normalised
  for (const Datagram &d : got)
    for (const std::string &n : two)
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
  Daemon *alpha = tb.start("alpha", props(true));
  Daemon *bravo = tb.start("bravo", props(true, {"allowLANConnections=true"}));
  ASSERT_TRUE(alpha && bravo);

  // alpha as both servers see it: flags, numifs and which interfaces are LAN.
  auto alphaIs = [&](std::set<std::string> flags, std::vector<std::pair<std::string, bool>> lan) {
    for (Daemon *d : {alpha, bravo}) {
      std::vector<HostView> hs = d->status();
      const HostView *h = findHost(hs, "alpha");
      if (!h || h->flags != flags || h->ifs.size() != lan.size()) return false;
      for (auto &[name, isLan] : lan)
        if (!h->intf(name) || h->intf(name)->lan != isLan) return false;
    }
    return true;
  };
  const int t = 4 * kPeriod * 1000;
  EXPECT_TRUE(Testbed::waitFor(
      [&] { return alphaIs({"ROUTER", "TRUSTED"}, {{"eth0", true}, {"eth1", false}}); }, 15000));
  std::vector<HostView> hs = alpha->status();
  ASSERT_NE(findHost(hs, "bravo"), nullptr);
  EXPECT_EQ(findHost(hs, "bravo")->flags, (std::set<std::string>{"ROUTER", "LAN_OK", "TRUSTED"}));

  tb.writeFile("alpha", "/etc/notrouter", "");
  EXPECT_TRUE(Testbed::waitFor(
      [&] { return alphaIs({"TRUSTED"}, {{"eth0", true}, {"eth1", false}}); }, t));
  tb.writeFile("alpha", "/var/opt/KORVzv/offline", "");
  EXPECT_TRUE(Testbed::waitFor(
      [&] { return alphaIs({"TRUSTED", "OFFLINE"}, {{"eth0", true}, {"eth1", false}}); }, t));
  tb.removeFile("alpha", "/var/opt/KORVzv/offline");
  EXPECT_TRUE(Testbed::waitFor(
      [&] { return alphaIs({"TRUSTED"}, {{"eth0", true}, {"eth1", false}}); }, t));

  // The tool's list counts once the interfaces change: eth1 goes, eth0
  // becomes the dedicated one; eth1 comes back as a LAN interface.
  tb.writeFile("alpha", "/opt/KORVzv/etc/nimbar.conf", "eth0\n");
  tb.removeFile("alpha", "/etc/notrouter");
  ASSERT_EQ(tb.run("alpha", {"ip", "addr", "flush", "dev", "eth1"}), 0);
  EXPECT_TRUE(Testbed::waitFor([&] { return alphaIs({"TRUSTED"}, {{"eth0", false}}); }, t));
  ASSERT_EQ(tb.run("alpha", {"ip", "addr", "add", Testbed::ip(1, 1) + "/24", "brd", "+", "dev",
                             "eth1"}),
            0);
  EXPECT_TRUE(Testbed::waitFor(
      [&] { return alphaIs({"ROUTER", "TRUSTED"}, {{"eth0", false}, {"eth1", true}}); }, t));

  // Admission follows the interface flags: only the dedicated subnet.
  EXPECT_EQ(alpha->ask("allowed 198.51.100.99", 40000), std::vector<std::string>{"allowed true"});
  EXPECT_EQ(alpha->ask("allowed 203.0.113.99"), std::vector<std::string>{"allowed false"});
  EXPECT_EQ(alpha->ask("allowed 192.0.2.1"), std::vector<std::string>{"allowed false"});
}

TEST(Group, RestartedServerKeepsItsSlot) {
  REQUIRE_TESTBED();
  Testbed tb(kThree, false);
  ASSERT_TRUE(tb.ok());
  for (const std::string &n : kThree) ASSERT_NE(tb.start(n, props(true)), nullptr);
  for (const std::string &n : kThree)
    ASSERT_TRUE(Testbed::waitFor([&] { return sees(tb, *tb.daemon(n), kThree, 1); }, 15000)) << n;
  std::map<std::string, int> slot;
  std::vector<HostView> hs = tb.daemon("alpha")->status();
  long firstStart = findHost(hs, "bravo")->starttime;
  for (std::string n : {"alpha", "charlie"})
    slot[n] = hostIndex(tb.daemon(n)->status(), "bravo");

  EXPECT_EQ(tb.stop("bravo"), 0);
  // Silent, bravo stays in the tables; only its age grows.
  EXPECT_TRUE(Testbed::waitFor(
      [&] {
        std::vector<HostView> now = tb.daemon("alpha")->status();
        return now.size() == 3 && findHost(now, "bravo")->lastseen >= 2 * kPeriod;
      },
      4 * kPeriod * 1000));
  ASSERT_NE(tb.start("bravo", props(true)), nullptr);
  for (const std::string &n : kThree)
    EXPECT_TRUE(Testbed::waitFor([&] { return sees(tb, *tb.daemon(n), kThree, 1); }, 15000)) << n;
  for (std::string n : {"alpha", "charlie"}) {
    std::vector<HostView> now = tb.daemon(n)->status();
    ASSERT_EQ(now.size(), 3u) << n;
    EXPECT_EQ(hostIndex(now, "bravo"), slot[n]) << n;
    EXPECT_GT(findHost(now, "bravo")->starttime, firstStart) << n;
  }
}

}  // namespace
