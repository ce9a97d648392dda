// serve_test.cc - zvgm serve in the observer's namespace beside three
// servers: a real Prometheus scrapes it and evaluates the shipped alert
// rules, headless Chromium runs its page, promtool checks a scrape, and
// hostile HTTP input leaves it serving. Everything talks to 127.0.0.1 there.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "harness.h"

using namespace tb;

namespace {

// Standard output of argv run in the observer's namespace.
std::string obs(Testbed &tb, const std::vector<std::string> &argv, int *status = nullptr) {
  std::vector<std::string> a{ZVTB_SCRIPT, "exec", "obs"};
  a.insert(a.end(), argv.begin(), argv.end());
  Child c(a, false, tb.dir() + "/obs.err");
  std::string line;
  while (c.readLine(&line, 60000)) {
  }
  int st = c.wait(10000);
  if (status != nullptr) *status = st >= 0 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return c.seen();
}

std::string sh(Testbed &tb, const std::string &script) { return obs(tb, {"bash", "-c", script}); }

// One value of a PromQL expression, "" while it has none.
std::string query(Testbed &tb, const std::string &expr) {
  std::string v = sh(tb, std::string(CURL_BIN) + " -s -G --data-urlencode 'query=" + expr +
                             "' http://127.0.0.1:9090/api/v1/query | " + JQ_BIN +
                             " -r '.data.result[0].value[1] // empty'");
  return v.substr(0, v.find('\n'));
}

// The member rows of the page after its script ran: "name alive" lines,
// and whether the script redrew them.
std::string pageRows(Testbed &tb) {
  std::string profile = tb.dir() + "/chromium";
  std::string dom = obs(tb, {"env", "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent",
                             "DBUS_SESSION_BUS_ADDRESS=disabled:", CHROMIUM_BIN, "--headless",
                             "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                             "--disable-background-networking", "--disable-component-update",
                             "--disable-sync", "--user-data-dir=" + profile,
                             "--virtual-time-budget=3000", "--dump-dom", "http://127.0.0.1:9709/"});
  std::string rows = dom.find("data-refreshes=\"0\"") == std::string::npos &&
                             dom.find("data-refreshes=") != std::string::npos
                         ? "" : "not redrawn\n";
  for (size_t at = 0; (at = dom.find("<tr data-name=\"", at)) != std::string::npos; at++) {
    size_t n = at + 15, q = dom.find('"', n), a = dom.find("data-alive=\"", q) + 12;
    rows += dom.substr(n, q - n) + " " + dom.substr(a, dom.find('"', a) - a) + "\n";
  }
  return rows;
}

TEST(Serve, ScrapedAlertedAndShown) {
  REQUIRE_TESTBED();
  for (const char *p : {PROMETHEUS_BIN, PROMTOOL_BIN, CHROMIUM_BIN, CURL_BIN, JQ_BIN})
    if (access(p, X_OK) != 0) GTEST_SKIP() << p << " is not installed";
  const std::vector<std::string> names{"alpha", "bravo", "charlie"};
  Testbed tb(names, true, Testbed::haveLight() ? Kind::light : Kind::jvm);
  ASSERT_TRUE(tb.ok());

  // alpha and bravo sign with the group's secret, charlie with another.
  for (const std::string &n : names) {
    tb.writeFile(n, "/etc/zvgm.secret", n == "charlie" ? "another secret\n" : "the secret\n", 0600);
    tb.writeFile(n, "/opt/KORVzv/etc/nimbar.conf", "eth1\n");
  }
  // serve runs as an unprivileged user with the secret as systemd hands a
  // credential over: owned by that user, mode 0400. A file that group or
  // others may write is refused.
  std::string cred = tb.dir() + "/credential", loose = tb.dir() + "/loose";
  std::ofstream(cred) << "the secret\n";
  std::ofstream(loose) << "the secret\n";
  ASSERT_EQ(chown(cred.c_str(), 65534, 65534), 0);
  chmod(cred.c_str(), 0400);
  chmod(loose.c_str(), 0620);

  // It serves at once, an empty group; a second one finds the port taken.
  Child serve({ZVTB_SCRIPT, "exec", "obs", "setpriv", "--reuid=65534", "--regid=65534",
               "--clear-groups", ZVGM_BIN, "serve", "--expect", "3", "--secret", cred},
              false, tb.dir() + "/serve.err");
  const std::string url = "http://127.0.0.1:9709";
  ASSERT_TRUE(Testbed::waitFor([&] { return obs(tb, {CURL_BIN, "-s", url + "/healthz"}) == "ok\n"; }, 10000));
  EXPECT_EQ(sh(tb, std::string(CURL_BIN) + " -s " + url + "/api/members | " + JQ_BIN + " -c .members"), "[]\n");
  int st = -1;
  for (const std::vector<std::string> &args :
       {std::vector<std::string>{ZVGM_BIN, "serve"},
        {ZVGM_BIN, "serve", "--listen", "127.0.0.1:9710", "--secret", loose}}) {
    obs(tb, args, &st);
    EXPECT_EQ(st, 2) << args.back();
  }

  for (const std::string &n : names)
    ASSERT_NE(tb.start(n, {"gmKeepAliveInterval=2", "gmSignatureFile=/etc/zvgm.secret"}), nullptr) << n;
  std::string prom = tb.dir() + "/prometheus";
  std::filesystem::create_directories(prom);
  std::ofstream(prom + "/prometheus.yml")
      << "global: {scrape_interval: 1s, evaluation_interval: 1s}\n"
      << "rule_files: ['" << ZVGM_RULES << "']\n"
      << "scrape_configs:\n  - job_name: zvgm\n    static_configs: [{targets: ['127.0.0.1:9709']}]\n";
  Child prometheus({ZVTB_SCRIPT, "exec", "obs", PROMETHEUS_BIN, "--config.file=" + prom + "/prometheus.yml",
                    "--storage.tsdb.path=" + prom + "/data", "--web.listen-address=127.0.0.1:9090"},
                   false, prom + "/prometheus.err");
  auto alive = [&](const char *n) {
    return Testbed::waitFor([&] { return query(tb, "sum(zvgm_member_alive)") == n; }, 90000);
  };
  ASSERT_TRUE(alive("3")) << query(tb, "zvgm_member_alive");
  EXPECT_EQ(query(tb, "count(zvgm_member_trust{trust=\"valid\"} == 1)"), "2");
  EXPECT_EQ(query(tb, "zvgm_member_trust{name=\"charlie\",trust=\"other_secret\"}"), "1");
  EXPECT_EQ(query(tb, "count(zvgm_member_placement_weight > 0)"), "2");
  EXPECT_EQ(sh(tb, std::string(CURL_BIN) + " -s " + url + "/metrics | " + PROMTOOL_BIN +
                       " check metrics && echo clean"), "clean\n");
  EXPECT_EQ(pageRows(tb), "alpha true\nbravo true\ncharlie true\n");

  // Hostile requests get an error or a closed connection; it goes on serving.
  std::string hostile = sh(tb,
      "big=$(head -c 20000 /dev/zero | tr '\\0' a)\n"
      "ask() { exec 3<>/dev/tcp/127.0.0.1/9709; printf \"$1\" >&3; timeout 8 head -c 12 <&3 | tail -c 3; echo; exec 3>&-; }\n"
      "ask \"GET /$big HTTP/1.1\\r\\n\\r\\n\"\n"
      "ask \"GET / HTTP/1.1\\r\\nX: $big\\r\\n\\r\\n\"\n"
      "ask 'POST /metrics HTTP/1.1\\r\\nContent-Length: 5\\r\\n\\r\\nabcde'\n"
      "ask ''\n" +
      std::string(CURL_BIN) + " -s -I " + url + "/healthz | head -1");
  EXPECT_EQ(hostile, "414\n400\n405\n\nHTTP/1.1 200 OK\r\n");

  // bravo stops: 2 alive within a few periods, its alert pending or firing
  // (charlie's since it was first scraped), the page shows it not alive.
  EXPECT_EQ(tb.stop("bravo"), 0);
  ASSERT_TRUE(alive("2")) << query(tb, "zvgm_member_alive");
  std::string alerts = std::string(CURL_BIN) + " -s http://127.0.0.1:9090/api/v1/alerts | " + JQ_BIN +
                       " -r '.data.alerts[] | select(.labels.alertname | test(\"NotAlive|OtherSecret|TooFew\")) | .labels.alertname + \" \" + "
                       "(.labels.name // \"-\") + \" \" + (.state | sub(\"firing\"; \"pending\"))' | sort";
  EXPECT_TRUE(Testbed::waitFor([&] {
    return sh(tb, alerts) == "ZvgmMemberNotAlive bravo pending\nZvgmMemberOtherSecret charlie pending\n"
                             "ZvgmTooFewMembers - pending\n";
  }, 30000)) << sh(tb, alerts);
  EXPECT_EQ(pageRows(tb), "alpha true\nbravo false\ncharlie true\n");
  EXPECT_EQ(query(tb, "zvgm_members_lost_total"), "1");

  // An announcement with markup and a quote in its name and "nan" for its
  // load: shown as text and as no load, and the scrape stays valid.
  tb.run("alpha", {"ip", "route", "add", "224.0.0.0/4", "dev", "eth0"});
  tb.ask("alpha", "224.101.101.101", "host=e\"v<i>l addr=c633640b time=1 numifs=1 load=nan\\n"
         "interface=eth0 ip=c633640b mask=ffffff00 bcast=c63364ff\\n", 500);
  EXPECT_EQ(sh(tb, std::string(CURL_BIN) + " -s " + url + "/api/members | " + JQ_BIN +
                       " -c '.members[] | select(.name | startswith(\"e\")) | [.name, .load]'"),
            "[\"e\\\"v<i>l\",null]\n");
  EXPECT_EQ(sh(tb, std::string(CURL_BIN) + " -s " + url + "/metrics | " + PROMTOOL_BIN +
                       " check metrics && " + CURL_BIN + " -s " + url + " | grep -c 'e&quot;v&lt;i&gt;l'"),
            "1\n");

  // SIGTERM ends it cleanly.
  kill(serve.pid(), SIGTERM);
  st = serve.wait(10000);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
}

}  // namespace
