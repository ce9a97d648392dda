// zvgm_test.cc - the operator's command against real servers in the network
// testbed, in one group: members with their fields, trust and liveness, a
// lookup naming a session's owner, JSON read back; every message kind
// captured with tshark and read back field by field by the dissector; and
// zvgm serve, scraped by a real Prometheus that evaluates the shipped alert
// rules, its page run by headless Chromium, a scrape checked by promtool,
// hostile HTTP input leaving it serving. Everything in the observer's
// namespace talks to the group or to 127.0.0.1 there.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <thread>
#include <tuple>

#include <gtest/gtest.h>

#include "cli.h"
#include "harness.h"
#include "wire.h"

using namespace tb;
using namespace tb::common;

namespace {

const std::string kSecret = "operator test secret\n";
const std::string kCurl = std::string(CURL_BIN) + " -s ", kUrl = "http://127.0.0.1:9709";

std::string jq(const std::string &file, const std::string &filter) {
  return localOutput(std::string(JQ_BIN) + " -r '" + filter + "' " + file + " 2>&1");
}

// A shell command in the observer's namespace (curl and jq on serve's pages).
std::string sh(Testbed &tb, const std::string &script) { return tb.output("obs", {"bash", "-c", script}); }

// One TSV line per member, from the JSON output read back.
std::map<std::string, std::string> memberRows(const std::string &file) {
  std::map<std::string, std::string> rows;
  std::istringstream in(jq(file,
      ".members[] | [.name, .address, (.interfaces | map(.name + \" \" + .address + \"/\" + "
      "(.prefix | tostring) + \" \" + .kind) | join(\",\")), .cpus, (.mhz > 0), .sessions, "
      ".idles, (.flags | join(\",\")), .trust, .alive, .period, (.heard_ago <= 6), "
      "(.clock_offset * .clock_offset <= 4)] | map(tostring) | join(\"|\")"));
  for (std::string line; std::getline(in, line);) rows[line.substr(0, line.find('|'))] = line;
  return rows;
}

std::string row(Testbed &tb, const std::string &n, int sessions, const std::string &flags,
                const std::string &trust, bool alive) {
  std::string a = alive ? "true" : "false";
  return n + "|" + tb.ip(n) + "|eth0 " + tb.ip(n) + "/24 LAN,eth1 " + tb.ip(n, 1) +
         "/24 interconnect|" + std::to_string(cpuCount()) + "|true|" + std::to_string(sessions) +
         "|0|" + flags + "|" + trust + "|" + a + "|" + std::to_string(kPeriod) + "|" + a + "|true";
}

// 10.0.0.1 as the at key of a query writes it: 100000a.
std::string atHex(const std::string &dotted) {
  char b[16];
  snprintf(b, sizeof b, "%x", __builtin_bswap32((unsigned)std::stoul(hexAddr(dotted), nullptr, 16)));
  return b;
}

using Frame = std::map<std::string, std::string>;

// The fields of each captured frame, as the dissector reads them with its
// preferences pref.
std::vector<Frame> readCapture(const std::string &pcap, const std::string &pref,
                               const std::vector<std::string> &fields) {
  return captureFields(TSHARK_BIN, pcap, std::string("-X lua_script:") + ZVGM_LUA + " " + pref + " -Y zvgm", fields);
}

// The member rows of serve's page after its script ran: "name alive" lines,
// and whether the script redrew them.
std::string pageRows(Testbed &tb) {
  std::string dom = tb.pageDom("obs", CHROMIUM_BIN, kUrl + "/");
  std::string rows = dom.find("data-refreshes=\"0\"") == std::string::npos &&
                             dom.find("data-refreshes=") != std::string::npos ? "" : "not redrawn\n";
  static const std::regex tr("<tr data-name=\"([^\"]*)\"[^>]*data-alive=\"([^\"]*)\"");
  for (std::sregex_iterator r(dom.begin(), dom.end(), tr), end; r != end; ++r)
    rows += (*r)[1].str() + " " + (*r)[2].str() + "\n";
  return rows;
}

// One value of a PromQL expression, "" while it has none.
std::string query(Testbed &tb, const std::string &expr) {
  std::string v = sh(tb, kCurl + "-G --data-urlencode 'query=" + expr +
                             "' http://127.0.0.1:9090/api/v1/query | " + JQ_BIN +
                             " -r '.data.result[0].value[1] // empty'");
  return v.substr(0, v.find('\n'));
}

// alpha and bravo sign with the group's secret, charlie with another and is
// offline; bravo holds a session and accepts LAN clients.
TEST(Zvgm, CommandCaptureAndServe) {
  REQUIRE_TESTBED();
  for (const char *p : {JQ_BIN, TSHARK_BIN, PROMETHEUS_BIN, PROMTOOL_BIN, CHROMIUM_BIN, CURL_BIN})
    if (access(p, X_OK) != 0) GTEST_SKIP() << p << " is not installed";
  const std::vector<std::string> names{"alpha", "bravo", "charlie"};
  Testbed tb(names, true, Testbed::haveLight() ? Kind::light : Kind::jvm);
  ASSERT_TRUE(tb.ok());
  for (const std::string &n : names) tb.writeFile(n, "/opt/KORVzv/etc/nimbar.conf", "eth1\n");
  tb.writeFile("charlie", "/var/opt/KORVzv/offline", "");
  tb.addSession("bravo", "c-bravo", 3);
  std::string secret = save(tb, "obs.secret", kSecret, 0600);
  // serve runs as an unprivileged user with the secret as systemd hands a
  // credential over: owned by that user, mode 0400. A file that group or
  // others may write is refused, so is one others may read for the command.
  std::string cred = save(tb, "credential", kSecret), loose = save(tb, "loose", kSecret, 0620);
  std::string open = save(tb, "open", kSecret, 0644);
  ASSERT_EQ(chown(cred.c_str(), 65534, 65534), 0);
  chmod(cred.c_str(), 0400);

  // serve serves at once, an empty group.
  Child serve({ZVTB_SCRIPT, "exec", "obs", "setpriv", "--reuid=65534", "--regid=65534",
               "--clear-groups", ZVGM_BIN, "serve", "--expect", "3", "--secret", cred},
              false, tb.dir() + "/serve.err");
  ASSERT_TRUE(Testbed::waitFor([&] { return sh(tb, kCurl + kUrl + "/healthz") == "ok\n"; }, 10000));
  EXPECT_EQ(sh(tb, kCurl + kUrl + "/api/members | " + JQ_BIN + " -c .members"), "[]\n");

  for (const std::string &n : names)
    ASSERT_NE(startSigned(tb, n, n == "charlie" ? "another secret\n" : kSecret,
                          {n == "bravo" ? "allowLANConnections=true" : "allowLANConnections=false"}),
              nullptr) << n;
  auto prometheus = tb.prometheus("obs", PROMETHEUS_BIN, ZVGM_RULES, "127.0.0.1:9709");
  ASSERT_TRUE(Testbed::waitFor(
      [&] { return holds(tb, *tb.daemon("charlie"), names, names, kPeriod, {"alpha", "bravo"}, 2); },
      20000));

  // Every member with its fields; the one with another secret untrusted.
  std::string out;
  ASSERT_EQ(zvgm(tb, "obs", {"members", "--json", "--secret", secret}, &out), 0) << out;
  std::map<std::string, std::string> rows = memberRows(save(tb, "members.json", out));
  EXPECT_EQ(rows["alpha"], row(tb, "alpha", 0, "router", "valid", true));
  EXPECT_EQ(rows["bravo"], row(tb, "bravo", 1, "router,accepts LAN", "valid", true));
  EXPECT_EQ(rows["charlie"], row(tb, "charlie", 0, "router,offline", "other secret", true));
  EXPECT_EQ(rows.size(), 3u) << out;
  ASSERT_EQ(zvgm(tb, "obs", {"members"}, &out), 0);
  EXPECT_NE(out.find("\n  eth1           203.0.113.12/24    interconnect"), std::string::npos) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1 + 3 * 3) << out;

  // The lookup asks the trusted members and names the session's owner, also
  // while zvgm listens beside the manager on alpha.
  Child beside({ZVTB_SCRIPT, "exec", "alpha", ZVGM_BIN, "members", "--json", "--wait",
                std::to_string(3 * kPeriod)}, false, tb.dir() + "/zvgm-alpha.err");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  ASSERT_EQ(zvgm(tb, "obs", {"lookup", "c-bravo", "--term", "203.0.113.99", "--secret", secret, "--json"}, &out), 0);
  EXPECT_EQ(jq(save(tb, "lookup.json", out),
               "[.choice.member, .choice.address, (.asked | map(.member + \" \" + .answer) | "
               "sort | join(\",\"))] | join(\"|\")"),
            "bravo|" + tb.ip("bravo", 1) + "|alpha no session,bravo display 3\n");
  EXPECT_EQ(beside.finish(30000, 5000), 0);
  EXPECT_EQ(memberRows(save(tb, "beside.json", beside.seen())).size(), 3u) << beside.seen();

  // Every message kind captured, signed and not, and read back.
  std::string pcap = tb.dir() + "/group.pcapng", capErr = tb.dir() + "/tshark.err";
  Child cap({ZVTB_SCRIPT, "exec", "obs", TSHARK_BIN, "-n", "-i", "eth0", "-i", "eth1", "-f",
             "udp port 7009", "-a", "duration:" + std::to_string(3 * kPeriod), "-w", pcap},
            false, capErr);
  ASSERT_TRUE(Testbed::waitFor(
      [&] { return localOutput("cat " + capErr).find("Capturing") != std::string::npos; }, 10000));
  const std::string a = tb.ip("alpha"), b = tb.ip("bravo"), b1 = tb.ip("bravo", 1);
  for (const std::vector<std::string> &q :
       {std::vector<std::string>{"ask", a, "token", "c-bravo", "i-1", "--secret", secret},
        {"ask", b, "token", "c-bravo"}, {"ask", a, "term", "t-1", "--secret", secret},
        {"ask", b, "term", "t-1"}, {"ask", b1, "server", "12"}})
    EXPECT_EQ(zvgm(tb, "obs", q), 0) << q[3];
  EXPECT_EQ(cap.wait(20000), 0);

  // An announcement extended as docs/protocol.md describes: the signed text,
  // SHA-1's padding (which holds NULs), one more interface line, and a
  // trailer over every byte. Members read up to the first NUL, so it carries
  // no trailer and one interface for them; the rest is ignored bytes. It
  // goes into the capture file only, never onto a network.
  const std::string forger = "198.51.100.66", text = "host=mallory addr=c6336442 numifs=1 flags=1 period=2\n"
                                                  "interface=eth0 ip=c6336442 mask=ffffff00 bcast=c63364ff flags=1\n";
  size_t ml = kSecret.size() + text.size();
  std::string forged = text + '\x80' + std::string((55 + 64 - ml % 64) % 64, '\0');
  for (int i = 7; i >= 0; i--) forged += (char)((ml * 8) >> (8 * i));
  forged += "\ninterface=eth9 ip=cb007142 mask=ffffff00 bcast=cb0071ff flags=0\n";
  forged += "#sig=" + localOutput("sha1sum " + save(tb, "forged.signed", kSecret + forged)).substr(0, 40) + "\n";
  std::string all = tb.dir() + "/all.pcapng", ignored;
  char hx[3];
  for (size_t i = forged.find('\0'); i < forged.size(); i++)
    snprintf(hx, sizeof hx, "%02x", (unsigned char)forged[i]), ignored += hx;
  ASSERT_TRUE(writeDatagramCapture(forged, forger, "224.101.101.101", 7009, tb.dir() + "/forged.pcap"));
  localOutput("mergecap -w " + all + " " + pcap + " " + tb.dir() + "/forged.pcap");

  const std::string obs = "198.51.100.250";
  // The kind and sender of a frame, and the fields it must carry. The signed
  // and the unsigned query of a kind both come from the observer: taken in
  // the order they were sent.
  const std::tuple<std::string, std::string, Frame> want[] = {
      {a, "host", {{"zvgm.sig.status", "valid"}, {"zvgm.host.name", "alpha"}, {"zvgm.host.addr", a},
       {"zvgm.host.addr_hex", hexAddr(a)}, {"zvgm.host.numifs", "2"},
       {"zvgm.host.flags", "0x00000005"}, {"zvgm.host.period", std::to_string(kPeriod)},
       {"zvgm.if.name", "eth0,eth1"}, {"zvgm.if.ip", a + "," + tb.ip("alpha", 1)},
       {"zvgm.if.ip_hex", hexAddr(a) + "," + hexAddr(tb.ip("alpha", 1))},
       {"zvgm.if.prefix", "24,24"}, {"zvgm.if.flags.lan", "1,0"}, {"zvgm.sessions", "0"},
       {"zvgm.idles", "0"}}},
      {b, "host", {{"zvgm.sig.status", "valid"}, {"zvgm.host.name", "bravo"}, {"zvgm.sessions", "1"}}},
      {tb.ip("charlie"), "host", {{"zvgm.sig.status", "invalid"}, {"zvgm.host.name", "charlie"}}},
      {obs, "tokenQ", {{"zvgm.sig.status", "valid"}, {"zvgm.itoken", "i-1"}, {"zvgm.ctoken", "c-bravo"},
       {"zvgm.at", a}, {"zvgm.at_hex", atHex(a)}, {"zvgm.hostix", "0"}}},
      {a, "tokenR", {{"zvgm.sig.status", "valid"}, {"zvgm.at", a}, {"zvgm.dpy", "-1"}, {"zvgm.ctoken", "c-bravo"}}},
      {obs, "tokenQ", {{"zvgm.sig.status", "unsigned"}, {"zvgm.itoken", ""}, {"zvgm.at_hex", atHex(b)}}},
      {b, "tokenR", {{"zvgm.dpy", "3"}, {"zvgm.sessions", "1"}}},
      {obs, "termQ", {{"zvgm.sig.status", "valid"}, {"zvgm.term", "t-1"}, {"zvgm.at", a}}},
      {a, "termR", {{"zvgm.sig.status", "valid"}, {"zvgm.term", "t-1"}, {"zvgm.has", "0"}}},
      {obs, "termQ", {{"zvgm.sig.status", "unsigned"}, {"zvgm.term", "t-1"}, {"zvgm.at", b}}},
      {b, "termR", {{"zvgm.has", "0"}}},
      {"203.0.113.250", "serverQ", {{"zvgm.sig.status", "unsigned"}, {"zvgm.seq", "12"}}},
      {b1, "serverR", {{"zvgm.sig.status", "unsigned"}, {"zvgm.server", b1},
       {"zvgm.server_hex", hexAddr(b1)}, {"zvgm.port", "7009"}, {"zvgm.seq", "12"}}},
      {forger, "host", {{"zvgm.sig.status", "unsigned"}, {"zvgm.host.name", "mallory"}, {"zvgm.if.name", "eth0"},
       {"zvgm.ignored", ignored}}},
  };
  std::vector<std::string> read{"ip.src", "zvgm.kind"};  // and every field of want
  for (const auto &[src, kind, fields] : want)
    for (const auto &[k, v] : fields)
      if (std::find(read.begin(), read.end(), k) == read.end()) read.push_back(k);
  std::vector<Frame> fs = readCapture(all, "-o zvgm.secret_file:" + secret, read);
  std::map<std::string, int> nth;
  for (const auto &[src, kind, fields] : want) {
    int skip = nth[src + kind]++;
    Frame f;
    for (const Frame &x : fs)
      if (x.at("ip.src") == src && x.at("zvgm.kind") == kind && skip-- == 0) f = x;
    ASSERT_FALSE(f.empty()) << "no " << kind << " from " << src;
    std::string got, wanted;
    for (const auto &[k, v] : fields) got += k + "=" + f[k] + "\n", wanted += k + "=" + v + "\n";
    EXPECT_EQ(got, wanted) << kind << " from " << src;
  }
  // The secret given as text instead of a file, and none at all.
  for (auto [pref, verdict] : {std::pair<std::string, std::string>{"-o 'zvgm.secret:operator test secret\\n'", "valid"},
                               {"", "not checked (no secret given)"}}) {
    fs = readCapture(pcap, pref, read);
    auto h = std::find_if(fs.begin(), fs.end(), [&](Frame &f) { return f["ip.src"] == a && f["zvgm.kind"] == "host"; });
    EXPECT_TRUE(h != fs.end() && (*h)["zvgm.sig.status"] == verdict) << pref;
  }

  // serve as Prometheus scrapes it and as the page shows it.
  auto alive = [&](const char *n) {
    return Testbed::waitFor([&] { return query(tb, "sum(zvgm_member_alive)") == n; }, 90000);
  };
  ASSERT_TRUE(alive("3")) << query(tb, "zvgm_member_alive");
  EXPECT_EQ(query(tb, "count(zvgm_member_trust{trust=\"valid\"} == 1)"), "2");
  EXPECT_EQ(query(tb, "zvgm_member_trust{name=\"charlie\",trust=\"other_secret\"}"), "1");
  EXPECT_EQ(query(tb, "count(zvgm_member_placement_weight > 0)"), "2");
  EXPECT_EQ(sh(tb, kCurl + kUrl + "/metrics | " + PROMTOOL_BIN + " check metrics && echo clean"), "clean\n");
  EXPECT_EQ(pageRows(tb), "alpha true\nbravo true\ncharlie true\n");

  // Hostile requests get an error or a closed connection; it goes on serving.
  // (A request line, one header line, and many header lines together over
  // the limit.)
  EXPECT_EQ(sh(tb, "trap '' PIPE; big=$(head -c 20000 /dev/zero | tr '\\0' a)\n"
      "many=$(printf 'X: %0100d\\\\r\\\\n' $(seq 2000))\n"
      "ask() { exec 3<>/dev/tcp/127.0.0.1/9709; printf \"$1\" >&3 2>/dev/null; timeout 8 head -c 12 <&3 | tail -c 3; echo; exec 3>&-; }\n"
      "ask \"GET /$big HTTP/1.1\\r\\n\\r\\n\"\n"
      "ask \"GET / HTTP/1.1\\r\\nX: $big\\r\\n\\r\\n\"\n"
      "ask \"GET / HTTP/1.1\\r\\n$many\\r\\n\"\n"
      "ask 'POST /metrics HTTP/1.1\\r\\nContent-Length: 5\\r\\n\\r\\nabcde'\n"
      "ask ''\n" + kCurl + "-I " + kUrl + "/healthz | head -1"),
            "414\n431\n431\n405\n\nHTTP/1.1 200 OK\r\n");

  // bravo stops: not alive after 3 periods for the command; 2 alive for
  // Prometheus within a few periods, its alert pending or firing (charlie's
  // since it was first scraped); the page shows it not alive.
  Child watch({ZVTB_SCRIPT, "exec", "obs", ZVGM_BIN, "members", "--json", "--secret", secret,
               "--wait", std::to_string(8 * kPeriod)}, false, tb.dir() + "/zvgm.err");
  std::this_thread::sleep_for(std::chrono::seconds(kPeriod + 1));
  EXPECT_EQ(tb.stop("bravo"), 0);
  EXPECT_EQ(watch.finish(30000, 5000), 0);
  rows = memberRows(save(tb, "stopped.json", watch.seen()));
  EXPECT_EQ(rows["alpha"], row(tb, "alpha", 0, "router", "valid", true));
  EXPECT_EQ(rows["bravo"], row(tb, "bravo", 1, "router,accepts LAN", "valid", false));
  ASSERT_TRUE(alive("2")) << query(tb, "zvgm_member_alive");
  std::string alerts = kCurl + "http://127.0.0.1:9090/api/v1/alerts | " + JQ_BIN +
                       " -r '.data.alerts[] | select(.labels.alertname | test(\"NotAlive|OtherSecret|TooFew\")) | .labels.alertname + \" \" + "
                       "(.labels.name // \"-\") + \" \" + (.state | sub(\"firing\"; \"pending\"))' | sort";
  EXPECT_TRUE(Testbed::waitFor([&] {
    return sh(tb, alerts) == "ZvgmMemberNotAlive bravo pending\nZvgmMemberOtherSecret charlie pending\n"
                             "ZvgmTooFewMembers - pending\n";
  }, 30000)) << sh(tb, alerts);
  EXPECT_EQ(pageRows(tb), "alpha true\nbravo false\ncharlie true\n");
  EXPECT_EQ(query(tb, "zvgm_members_lost_total"), "1");

  // Failures by kind: nothing heard 1 (bravo is gone); a second serve on the
  // port taken, a secret file others may write or read, a bad option 2.
  const std::pair<std::vector<std::string>, int> fails[] = {
      {{"members", "--port", "7010", "--wait", "1"}, 1}, {{"ask", b, "server", "--wait", "1"}, 1},
      {{"serve"}, 2}, {{"serve", "--listen", "127.0.0.1:9710", "--secret", loose}, 2},
      {{"members", "--secret", open, "--wait", "1"}, 2}, {{"members", "--nonsense"}, 2}};
  for (const auto &[args, status] : fails) EXPECT_EQ(zvgm(tb, "obs", args), status) << args.back();

  // An announcement with markup and a quote in its name and "nan" for its
  // load: shown as text and as no load, and the scrape stays valid. The page
  // shows the name on the member's row and on the lines of its two findings
  // (its clock of 1970 and the default interval of 20 s).
  tb.run("alpha", {"ip", "route", "add", "224.0.0.0/4", "dev", "eth0"});
  tb.ask("alpha", "224.101.101.101", "host=e\"v<i>l addr=c633640b time=1 numifs=1 load=nan\\n"
         "interface=eth0 ip=c633640b mask=ffffff00 bcast=c63364ff\\n", 500);
  EXPECT_EQ(sh(tb, kCurl + kUrl + "/api/members | " + JQ_BIN +
                       " -c '.members[] | select(.name | startswith(\"e\")) | [.name, .load]'"),
            "[\"e\\\"v<i>l\",null]\n");
  EXPECT_EQ(sh(tb, kCurl + kUrl + "/metrics | " + PROMTOOL_BIN + " check metrics && " + kCurl + kUrl +
                       " | grep -c 'e&quot;v&lt;i&gt;l'"), "3\n");

  // SIGTERM ends serve cleanly.
  kill(serve.pid(), SIGTERM);
  int st = serve.wait(10000);
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
}

}  // namespace
