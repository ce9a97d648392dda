// doctor_test.cc - zvgm doctor and the findings of zvgm serve against light
// servers in the network testbed. A clean group gives no finding and status
// 0. Then one group shows every finding at once: a member whose name
// resolves to 127.0.1.1, two servers of one name, a member with another
// keep-alive interval, one with a stepped clock, one whose announcements may
// cross routers, an announcement over 1499 bytes and one that lists fewer
// interfaces than it counts, with a secret file of loose mode given to
// doctor; Prometheus scraping serve fires the name-conflict alert and
// Chromium shows the page's findings box. Last, doctor's checks of the host
// it runs on: a foreign program on the group port, a firewall rule, a group
// that cannot be joined and a short secret; a member's loopback name; a
// group with nothing to hear, warnings only.
#include <unistd.h>

#include <algorithm>
#include <thread>

#include <gtest/gtest.h>

#include "cli.h"
#include "harness.h"
#include "wire.h"

using namespace tb;
using namespace tb::common;

namespace {

const std::string kCurl = std::string(CURL_BIN) + " -s ";

// doctor's --json findings as "severity kind name" lines, sorted.
std::string findings(Testbed &tb, const std::string &json) {
  return localOutput(std::string(JQ_BIN) + " -r '.[] | .severity + \" \" + .kind + \" \" + .name' " +
                     save(tb, "doctor.json", json, 0644) + " | sort");
}

// An announcement from the observer, as another implementation might send
// it: listed interfaces of the observer's address, its clock now.
std::string announcement(const std::string &name, int numifs, int listed) {
  std::string t = "host=" + name + " addr=c63364fa time=" + std::to_string(time(nullptr)) +
                  " numifs=" + std::to_string(numifs) + " flags=4 period=2 starttime=1\\n";
  for (int i = 0; i < listed; i++)
    t += "interface=eth" + std::to_string(10 + i) + " ip=c63364fa mask=ffffff00 bcast=c63364ff flags=1\\n";
  return t + "sessions=0 idles=0\\n";
}

std::string promQuery(Testbed &tb, const std::string &path, const std::string &filter) {
  return tb.output("obs", {"bash", "-c", kCurl + "'http://127.0.0.1:9090/api/v1/" + path + "' | " + JQ_BIN +
                                              " -r '" + filter + "'"});
}

TEST(Doctor, FindsWhatKeepsTheGroupFromWorking) {
  REQUIRE_LIGHT_TESTBED();
  for (const char *p : {JQ_BIN, PROMETHEUS_BIN, CHROMIUM_BIN, CURL_BIN})
    if (access(p, X_OK) != 0) GTEST_SKIP() << p << " is not installed";
  const std::vector<std::string> names{"alpha", "bravo", "charlie", "delta", "echo", "foxtrot"};
  Testbed tb(names, false, Kind::light);
  ASSERT_TRUE(tb.ok());
  char self[256] = "";
  gethostname(self, sizeof self - 1);  // the observer's: the machine's own UTS
  Child serve({ZVTB_SCRIPT, "exec", "obs", ZVGM_BIN, "serve"}, false, tb.dir() + "/serve.err");
  auto prometheus = tb.prometheus("obs", PROMETHEUS_BIN, ZVGM_RULES, "127.0.0.1:9709");

  // A clean group: nothing found, status 0, after two intervals.
  for (const char *n : {"alpha", "echo"}) ASSERT_NE(tb.start(n, props()), nullptr) << n;
  std::string out;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(zvgm(tb, "obs", {"doctor", "--json"}, &out), 0) << out;
  EXPECT_EQ(out, "[]\n");
  EXPECT_GE(since(t0), 2 * kPeriod);

  // The troubles. charlie's name resolves to loopback, as Debian's installer
  // writes it; bravo runs under alpha's name; delta announces every 3 s;
  // foxtrot's announcements may cross 3 routers; echo's clock is stepped.
  tb.writeFile("charlie", "/etc/hosts", "127.0.0.1 localhost\n127.0.1.1 charlie\n");
  ASSERT_NE(tb.start("bravo", props(), Kind::light, "alpha"), nullptr);
  ASSERT_NE(tb.start("charlie", props()), nullptr);
  ASSERT_NE(tb.start("delta", {"gmKeepAliveInterval=3"}), nullptr);
  ASSERT_NE(tb.start("foxtrot", props({"multicastTTL=4"})), nullptr);
  EXPECT_EQ(tb.daemon("echo")->ask("clock 600"), std::vector<std::string>{"clock 600"});
  std::string loose = save(tb, "loose.secret", "a long enough secret of the group\n", 0644);
  Child run({ZVTB_SCRIPT, "exec", "obs", ZVGM_BIN, "doctor", "--json", "--secret", loose}, false,
            tb.dir() + "/doctor.err");
  // golf's announcement does not fit; hotel counts 4 interfaces and lists 1.
  tb.run("obs", {"ip", "route", "add", "224.0.0.0/4", "dev", "eth0"});
  for (int i = 0; i < 2; i++) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    tb.ask("obs", "224.101.101.101", announcement("golf", 26, 26), 100);
    tb.ask("obs", "224.101.101.101", announcement("hotel", 4, 1), 100);
  }
  EXPECT_EQ(run.finish(30000, 10000), 2);
  EXPECT_EQ(findings(tb, run.seen()),
            "error loopback_address charlie\nerror name_conflict alpha\nerror oversize golf\n"
            "error secret_refused " + std::string(self) + "\nwarning clock_offset echo\n"
            "warning interfaces_unlisted hotel\nwarning multicast_ttl foxtrot\n"
            "warning period_mismatch delta\n") << run.seen();
  // (That charlie's own manager says so once at start-up: the unit test
  // GroupManager.StartsUpSaysALoopbackNameOnceAndWaitsForTheRestOfTheInterval.)

  // serve: the findings for Prometheus, whose name-conflict alert fires, and
  // in the page's box, redrawn by its script.
  EXPECT_TRUE(Testbed::waitFor([&] {
    return promQuery(tb, "alerts", ".data.alerts[] | select(.labels.alertname == \"ZvgmNameConflict\") | "
                                   ".labels.name + \" \" + .state") == "alpha firing\n";
  }, 30000)) << promQuery(tb, "alerts", ".");
  EXPECT_EQ(promQuery(tb, "query?query=zvgm_findings%7Bkind%3D%22loopback_address%22%7D",
                      ".data.result[] | .metric.name + \" \" + .metric.severity + \" \" + .value[1]"),
            "charlie error 1\n");
  std::string dom = tb.pageDom("obs", CHROMIUM_BIN, "http://127.0.0.1:9709/");
  size_t box = dom.find("<section id=\"findings\"");
  ASSERT_NE(box, std::string::npos) << dom;
  std::string section = dom.substr(box, dom.find("</section>", box) - box);
  EXPECT_EQ(section.find("data-refreshes=\"0\""), std::string::npos) << section;
  EXPECT_NE(section.find("<li class=\"finding error\" data-kind=\"name_conflict\" data-name=\"alpha\">"),
            std::string::npos) << section;
  EXPECT_LT(section.find("name_conflict"), section.find("period_mismatch")) << "errors first";

  // On a member: its name resolves to loopback; the port is held by its own
  // manager, which is no finding.
  EXPECT_EQ(zvgm(tb, "charlie", {"doctor", "--json", "--for", "1"}, &out), 2) << out;
  std::string got = findings(tb, out);
  EXPECT_NE(got.find("error loopback_address charlie\n"), std::string::npos) << got;
  EXPECT_EQ(got.find("port_taken"), std::string::npos) << got;
  // Nothing to hear on another port: a warning, status 1, as one line.
  EXPECT_EQ(zvgm(tb, "delta", {"doctor", "--port", "7010", "--for", "1"}, &out), 1) << out;
  EXPECT_EQ(out.rfind("warning  no member was heard on 224.101.101.101 UDP port 7010 in 1 s: ", 0), 0u) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;

  // The observer's own troubles: a program on the group port, a firewall
  // that drops it, no room to join the group, a secret of 6 characters.
  Child holder({ZVTB_SCRIPT, "exec", "obs", ZVTB_UDP, "recv", "7009", "60"}, false, tb.dir() + "/holder.err");
  std::string line;
  ASSERT_TRUE(holder.readLine(&line, 10000) && line == "listening");
  ASSERT_EQ(tb.run("obs", {"nft", "-f", save(tb, "drop.nft", "table inet zvdoctor {\n chain input {\n"
                                         "  type filter hook input priority 0;\n  udp dport 7009 drop\n }\n}\n", 0644)}), 0);
  ASSERT_EQ(tb.run("obs", {"sysctl", "-qw", "net.ipv4.igmp_max_memberships=0"}), 0);
  std::string shortSecret = save(tb, "short.secret", "abc123\n", 0600);
  EXPECT_EQ(zvgm(tb, "obs", {"doctor", "--json", "--for", "1", "--secret", shortSecret}, &out), 2) << out;
  std::string s(self);
  EXPECT_EQ(findings(tb, out), "error group_not_joined " + s + "\nerror port_filtered " + s +
                                   "\nerror port_taken " + s + "\nerror short_secret " + s + "\n") << out;
  EXPECT_NE(out.find("zvtb-udp (pid "), std::string::npos) << out;
  holder.kill();
}

}  // namespace
