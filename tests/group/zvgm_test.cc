// zvgm_test.cc - the operator's command and the capture dissector against real
// daemons in the network testbed: members with their fields, trust and
// liveness, a lookup naming a session's owner, JSON read back, and every
// message kind captured with tshark and read back field by field.
#include <stdio.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "harness.h"
#include "wire.h"

using namespace tb;

namespace {

const int kPeriod = 2;  // keep-alive interval of every daemon here
const std::string kSecret = "operator test secret\n";

struct Outcome {
  int status = -1;  // exit status, -1 when it did not end normally
  std::string out;
};

// Runs zvgm in the observer's namespace (nothing of it reaches the machine's
// own network) and collects its standard output.
Outcome zvgm(Testbed &tb, const std::vector<std::string> &args) {
  std::vector<std::string> argv{ZVTB_SCRIPT, "exec", "obs", ZVGM_BIN};
  argv.insert(argv.end(), args.begin(), args.end());
  Child c(argv, false, tb.dir() + "/zvgm.err");
  std::string line;
  while (c.readLine(&line, 60000)) {
  }
  int st = c.wait(10000);
  Outcome r;
  r.out = c.seen();
  r.status = st >= 0 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
  return r;
}

// Standard output of a shell command run on this side (jq, tshark reading a
// file: nothing is sent).
std::string shell(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

std::string save(Testbed &tb, const std::string &name, const std::string &text) {
  std::string path = tb.dir() + "/" + name;
  std::ofstream(path) << text;
  return path;
}

std::string jq(const std::string &file, const std::string &filter) {
  return shell(std::string(JQ_BIN) + " -r '" + filter + "' " + file + " 2>&1");
}

// One TSV line per member, from the JSON output read back.
std::map<std::string, std::string> memberRows(const std::string &file) {
  std::map<std::string, std::string> rows;
  std::istringstream in(jq(file,
      ".members[] | [.name, .address, (.interfaces | map(.name + \" \" + .address + \"/\" + "
      "(.prefix | tostring) + \" \" + .kind) | join(\",\")), .cpus, (.mhz > 0), .sessions, "
      ".idles, (.flags | join(\",\")), .trust, .alive, .period, (.heard_ago <= 6), "
      "(.clock_offset * .clock_offset <= 4)] | map(tostring) | join(\"|\")"));
  std::string line;
  while (std::getline(in, line)) rows[line.substr(0, line.find('|'))] = line;
  return rows;
}

std::string row(Testbed &tb, const std::string &n, int sessions, const std::string &flags,
                const std::string &trust, bool alive) {
  return n + "|" + tb.ip(n) + "|eth0 " + tb.ip(n) + "/24 LAN,eth1 " + tb.ip(n, 1) +
         "/24 interconnect|" + std::to_string(cpuCount()) + "|true|" + std::to_string(sessions) +
         "|0|" + flags + "|" + trust + "|" + (alive ? "true" : "false") + "|" +
         std::to_string(kPeriod) + "|" + (alive ? "true" : "false") + "|true";
}

void addSession(Testbed &tb, const std::string &name, const std::string &ctoken, int dpy) {
  tb.writeFile(name, "/var/opt/KORVzv/ctokens/" + ctoken, "DISPLAY=" + std::to_string(dpy) + "\n");
  tb.writeFile(name, "/var/opt/KORVzv/displays/" + std::to_string(dpy), "");
}

bool hears(Daemon &d, size_t n) {
  std::vector<HostView> hs = d.status();
  if (hs.size() != n) return false;
  for (const HostView &h : hs)
    for (const IfView &i : h.ifs)
      if (i.lastpkt < 0 || i.lastpkt > kPeriod) return false;
  return true;
}

// 10.0.0.1 as the at key of a query writes it: 100000a.
std::string atHex(const std::string &dotted) {
  unsigned v = (unsigned)std::stoul(hexAddr(dotted), nullptr, 16);
  char b[16];
  snprintf(b, sizeof b, "%x", __builtin_bswap32(v));
  return b;
}

TEST(Zvgm, ShowsTheGroup) {
  REQUIRE_TESTBED();
  if (access(JQ_BIN, X_OK) != 0) GTEST_SKIP() << "jq is not installed (package jq)";
  const std::vector<std::string> names{"alpha", "bravo", "charlie"};
  Testbed tb(names, true);
  ASSERT_TRUE(tb.ok());
  for (const std::string &n : names) {
    tb.writeFile(n, "/etc/zvgm.secret", n == "charlie" ? "another secret\n" : kSecret, 0600);
    tb.writeFile(n, "/opt/KORVzv/etc/nimbar.conf", "eth1\n");
  }
  tb.writeFile("charlie", "/var/opt/KORVzv/offline", "");
  addSession(tb, "bravo", "c-bravo", 3);
  std::string secret = save(tb, "obs.secret", kSecret);
  chmod(secret.c_str(), 0600);
  for (const std::string &n : names) {
    std::vector<std::string> p{"gmKeepAliveInterval=" + std::to_string(kPeriod),
                               "gmSignatureFile=/etc/zvgm.secret"};
    if (n == "bravo") p.push_back("allowLANConnections=true");
    ASSERT_NE(tb.start(n, p), nullptr) << n;
  }
  ASSERT_TRUE(Testbed::waitFor([&] { return hears(*tb.daemon("charlie"), 3); }, 20000));

  // Every member with its fields; the one with another secret untrusted.
  Outcome m = zvgm(tb, {"members", "--json", "--secret", secret});
  ASSERT_EQ(m.status, 0) << m.out;
  std::map<std::string, std::string> rows = memberRows(save(tb, "members.json", m.out));
  EXPECT_EQ(rows["alpha"], row(tb, "alpha", 0, "router", "valid", true));
  EXPECT_EQ(rows["bravo"], row(tb, "bravo", 1, "router,accepts LAN", "valid", true));
  EXPECT_EQ(rows["charlie"], row(tb, "charlie", 0, "router,offline", "other secret", true));
  EXPECT_EQ(rows.size(), 3u) << m.out;
  Outcome table = zvgm(tb, {"members"});
  ASSERT_EQ(table.status, 0);
  EXPECT_NE(table.out.find("\n  eth1           203.0.113.12/24    interconnect"), std::string::npos)
      << table.out;
  EXPECT_EQ(std::count(table.out.begin(), table.out.end(), '\n'), 1 + 3 * 3) << table.out;

  // The lookup asks the trusted members and names the session's owner, also
  // while zvgm listens beside the manager on alpha.
  Child beside({ZVTB_SCRIPT, "exec", "alpha", ZVGM_BIN, "members", "--json", "--wait",
                std::to_string(3 * kPeriod)},
               false, tb.dir() + "/zvgm-alpha.err");
  std::this_thread::sleep_for(std::chrono::seconds(1));
  Outcome l = zvgm(tb, {"lookup", "c-bravo", "--term", "203.0.113.99", "--secret", secret, "--json"});
  ASSERT_EQ(l.status, 0) << l.out;
  EXPECT_EQ(jq(save(tb, "lookup.json", l.out),
               "[.choice.member, .choice.address, (.asked | map(.member + \" \" + .answer) | "
               "sort | join(\",\"))] | join(\"|\")"),
            "bravo|" + tb.ip("bravo", 1) + "|alpha no session,bravo display 3\n");
  std::string line;
  while (beside.readLine(&line, 30000)) {
  }
  EXPECT_EQ(beside.wait(5000), 0);
  EXPECT_EQ(memberRows(save(tb, "beside.json", beside.seen())).size(), 3u) << beside.seen();

  // A member that stops turns not alive after 3 periods.
  Child watch({ZVTB_SCRIPT, "exec", "obs", ZVGM_BIN, "members", "--json", "--secret", secret,
               "--wait", std::to_string(8 * kPeriod)},
              false, tb.dir() + "/zvgm.err");
  std::this_thread::sleep_for(std::chrono::seconds(kPeriod + 1));
  EXPECT_EQ(tb.stop("bravo"), 0);
  while (watch.readLine(&line, 30000)) {
  }
  EXPECT_EQ(watch.wait(5000), 0);
  rows = memberRows(save(tb, "stopped.json", watch.seen()));
  EXPECT_EQ(rows["alpha"], row(tb, "alpha", 0, "router", "valid", true));
  EXPECT_EQ(rows["bravo"], row(tb, "bravo", 1, "router,accepts LAN", "valid", false));

  // Failures by kind: nothing heard 1, an insecure secret file or a bad
  // option 2.
  EXPECT_EQ(zvgm(tb, {"members", "--port", "7010", "--wait", "1"}).status, 1);
  EXPECT_EQ(zvgm(tb, {"ask", tb.ip("bravo"), "server", "--wait", "1"}).status, 1);
  chmod(secret.c_str(), 0644);
  EXPECT_EQ(zvgm(tb, {"members", "--secret", secret, "--wait", "1"}).status, 2);
  EXPECT_EQ(zvgm(tb, {"members", "--nonsense"}).status, 2);
}

// The fields of each captured frame, in the order of kFields.
const std::vector<std::string> kFields{
    "ip.src", "zvgm.kind", "zvgm.sig.status", "zvgm.host.name", "zvgm.host.addr",
    "zvgm.host.addr_hex", "zvgm.host.numifs", "zvgm.host.flags", "zvgm.host.period",
    "zvgm.if.name", "zvgm.if.ip", "zvgm.if.ip_hex", "zvgm.if.prefix", "zvgm.if.flags.lan",
    "zvgm.sessions", "zvgm.idles", "zvgm.itoken", "zvgm.ctoken", "zvgm.term", "zvgm.at",
    "zvgm.at_hex", "zvgm.hostix", "zvgm.dpy", "zvgm.has", "zvgm.server", "zvgm.server_hex",
    "zvgm.port", "zvgm.seq"};

std::vector<std::map<std::string, std::string>> readCapture(const std::string &pcap,
                                                            const std::string &pref) {
  std::string cmd = std::string(TSHARK_BIN) + " -n -r " + pcap + " -X lua_script:" + ZVGM_LUA +
                    " " + pref + " -T fields -E separator='|' -E aggregator=, -Y zvgm";
  for (const std::string &f : kFields) cmd += " -e " + f;
  std::vector<std::map<std::string, std::string>> frames;
  std::istringstream in(shell(cmd + " 2>/dev/null"));
  std::string line;
  while (std::getline(in, line)) {
    std::map<std::string, std::string> f;
    size_t pos = 0;
    for (const std::string &k : kFields) {
      size_t bar = line.find('|', pos);
      f[k] = line.substr(pos, bar == std::string::npos ? std::string::npos : bar - pos);
      pos = bar == std::string::npos ? line.size() : bar + 1;
    }
    frames.push_back(f);
  }
  return frames;
}

// The first frame from src of the given kind; empty when there is none.
std::map<std::string, std::string> frame(const std::vector<std::map<std::string, std::string>> &fs,
                                         const std::string &src, const std::string &kind) {
  for (const auto &f : fs)
    if (f.at("ip.src") == src && f.at("zvgm.kind") == kind) return f;
  ADD_FAILURE() << "no " << kind << " from " << src;
  return {};
}

// The fields of m named in want, as "key=value" lines, for a readable diff.
std::string pick(std::map<std::string, std::string> m, const std::map<std::string, std::string> &want) {
  std::string s;
  for (const auto &[k, v] : want) s += k + "=" + m[k] + "\n";
  return s;
}
std::string lines(const std::map<std::string, std::string> &want) {
  std::string s;
  for (const auto &[k, v] : want) s += k + "=" + v + "\n";
  return s;
}

TEST(Zvgm, DissectorReadsEveryMessage) {
  REQUIRE_TESTBED();
  if (access(TSHARK_BIN, X_OK) != 0) GTEST_SKIP() << "tshark is not installed (package tshark)";
  // alpha signs, bravo does not.
  Testbed tb({"alpha", "bravo"}, true);
  ASSERT_TRUE(tb.ok());
  tb.writeFile("alpha", "/etc/zvgm.secret", kSecret, 0600);
  for (const char *n : {"alpha", "bravo"}) tb.writeFile(n, "/opt/KORVzv/etc/nimbar.conf", "eth1\n");
  addSession(tb, "bravo", "c-b", 4);
  std::string secret = save(tb, "obs.secret", kSecret);
  chmod(secret.c_str(), 0600);
  std::string period = "gmKeepAliveInterval=" + std::to_string(kPeriod);
  ASSERT_NE(tb.start("alpha", {period, "gmSignatureFile=/etc/zvgm.secret"}), nullptr);
  ASSERT_NE(tb.start("bravo", {period}), nullptr);
  ASSERT_TRUE(Testbed::waitFor([&] { return hears(*tb.daemon("bravo"), 2); }, 20000));

  std::string pcap = tb.dir() + "/group.pcapng", capErr = tb.dir() + "/tshark.err";
  Child cap({ZVTB_SCRIPT, "exec", "obs", TSHARK_BIN, "-n", "-i", "eth0", "-i", "eth1", "-f",
             "udp port 7009", "-a", "duration:" + std::to_string(3 * kPeriod), "-w", pcap},
            false, capErr);
  ASSERT_TRUE(Testbed::waitFor([&] { return shell("cat " + capErr).find("Capturing") != std::string::npos; },
                               10000));
  const std::string a = tb.ip("alpha"), b = tb.ip("bravo"), b1 = tb.ip("bravo", 1);
  EXPECT_EQ(zvgm(tb, {"ask", a, "token", "c-b", "i-1", "--secret", secret}).status, 0);
  EXPECT_EQ(zvgm(tb, {"ask", b, "token", "c-b"}).status, 0);
  EXPECT_EQ(zvgm(tb, {"ask", a, "term", "t-1", "--secret", secret}).status, 0);
  EXPECT_EQ(zvgm(tb, {"ask", b, "term", "t-1"}).status, 0);
  EXPECT_EQ(zvgm(tb, {"ask", b1, "server", "12"}).status, 0);
  EXPECT_EQ(cap.wait(20000), 0);

  // An announcement extended as docs/protocol.md describes: the signed text,
  // SHA-1's padding (which holds NULs), one more interface line, and a
  // trailer over every byte. Members read up to the first NUL, so it carries
  // no trailer and one interface for them; the rest is ignored bytes. It
  // goes into the capture file only, never onto a network.
  const std::string forger = "198.51.100.66";
  const std::string text = "host=mallory addr=c6336442 numifs=1 flags=1 period=2\n"
                           "interface=eth0 ip=c6336442 mask=ffffff00 bcast=c63364ff flags=1\n";
  size_t ml = kSecret.size() + text.size();
  std::string forged = text + '\x80' + std::string((55 + 64 - ml % 64) % 64, '\0');
  for (int i = 7; i >= 0; i--) forged += (char)((ml * 8) >> (8 * i));
  forged += "\ninterface=eth9 ip=cb007142 mask=ffffff00 bcast=cb0071ff flags=0\n";
  forged += "#sig=" + shell("sha1sum " + save(tb, "forged.signed", kSecret + forged)).substr(0, 40) + "\n";
  std::string dump = "0000", ignored;
  char hx[4];
  for (size_t i = 0; i < forged.size(); i++) {
    snprintf(hx, sizeof hx, "%02x", (unsigned char)forged[i]);
    dump += std::string(" ") + hx;
    if (i >= forged.find('\0')) ignored += hx;
  }
  std::string all = tb.dir() + "/all.pcapng";
  shell("text2pcap -q -u 7009,7009 -4 " + forger + ",224.101.101.101 " + save(tb, "forged.hex", dump) +
        " " + tb.dir() + "/forged.pcap && mergecap -w " + all + " " + pcap + " " + tb.dir() + "/forged.pcap");

  auto fs = readCapture(all, "-o zvgm.secret_file:" + secret);
  const std::string obs = "198.51.100.250";
  const std::map<std::string, std::string> want[] = {
      {{"zvgm.sig.status", "valid"}, {"zvgm.host.name", "alpha"}, {"zvgm.host.addr", a},
       {"zvgm.host.addr_hex", hexAddr(a)}, {"zvgm.host.numifs", "2"},
       {"zvgm.host.flags", "0x00000005"}, {"zvgm.host.period", std::to_string(kPeriod)},
       {"zvgm.if.name", "eth0,eth1"}, {"zvgm.if.ip", a + "," + tb.ip("alpha", 1)},
       {"zvgm.if.ip_hex", hexAddr(a) + "," + hexAddr(tb.ip("alpha", 1))},
       {"zvgm.if.prefix", "24,24"}, {"zvgm.if.flags.lan", "1,0"}, {"zvgm.sessions", "0"},
       {"zvgm.idles", "0"}},
      {{"zvgm.sig.status", "unsigned"}, {"zvgm.host.name", "bravo"}, {"zvgm.sessions", "1"}},
      {{"zvgm.sig.status", "valid"}, {"zvgm.itoken", "i-1"}, {"zvgm.ctoken", "c-b"},
       {"zvgm.at", a}, {"zvgm.at_hex", atHex(a)}, {"zvgm.hostix", "0"}},
      {{"zvgm.sig.status", "valid"}, {"zvgm.at", a}, {"zvgm.dpy", "-1"}, {"zvgm.ctoken", "c-b"}},
      {{"zvgm.sig.status", "unsigned"}, {"zvgm.itoken", ""}, {"zvgm.at_hex", atHex(b)}},
      {{"zvgm.sig.status", "unsigned"}, {"zvgm.dpy", "4"}, {"zvgm.sessions", "1"}},
      {{"zvgm.sig.status", "valid"}, {"zvgm.term", "t-1"}, {"zvgm.at", a}},
      {{"zvgm.sig.status", "valid"}, {"zvgm.term", "t-1"}, {"zvgm.has", "0"}},
      {{"zvgm.sig.status", "unsigned"}, {"zvgm.term", "t-1"}, {"zvgm.at", b}},
      {{"zvgm.sig.status", "unsigned"}, {"zvgm.has", "0"}},
      {{"zvgm.sig.status", "unsigned"}, {"zvgm.seq", "12"}},
      {{"zvgm.sig.status", "unsigned"}, {"zvgm.server", b1}, {"zvgm.server_hex", hexAddr(b1)},
       {"zvgm.port", "7009"}, {"zvgm.seq", "12"}},
      {{"zvgm.sig.status", "unsigned"}, {"zvgm.host.name", "mallory"}, {"zvgm.if.name", "eth0"}},
  };
  const std::pair<std::string, std::string> from[] = {
      {a, "host"},     {b, "host"},     {obs, "tokenQ"}, {a, "tokenR"},
      {obs, "tokenQ"}, {b, "tokenR"},   {obs, "termQ"},  {a, "termR"},
      {obs, "termQ"},  {b, "termR"},    {"203.0.113.250", "serverQ"}, {b1, "serverR"},
      {forger, "host"}};
  // The signed and the unsigned query of a kind both come from the observer:
  // take them in the order they were sent.
  std::map<std::string, int> nth;
  for (size_t i = 0; i < std::size(want); i++) {
    auto [src, kind] = from[i];
    int skip = nth[src + kind]++;
    std::map<std::string, std::string> f;
    for (const auto &x : fs)
      if (x.at("ip.src") == src && x.at("zvgm.kind") == kind && skip-- == 0) f = x;
    ASSERT_FALSE(f.empty()) << "no " << kind << " from " << src;
    EXPECT_EQ(pick(f, want[i]), lines(want[i])) << kind << " from " << src;
  }

  EXPECT_EQ(shell(std::string(TSHARK_BIN) + " -n -r " + all + " -X lua_script:" + ZVGM_LUA +
                  " -Y ip.src==" + forger + " -T fields -e zvgm.ignored 2>/dev/null"),
            ignored + "\n");

  // The verdict depends on the secret given, and on one being given at all.
  EXPECT_EQ(frame(readCapture(pcap, "-o 'zvgm.secret:another secret\\n'"), a, "host")["zvgm.sig.status"],
            "invalid");
  EXPECT_EQ(frame(readCapture(pcap, "-o 'zvgm.secret:operator test secret\\n'"), a, "host")["zvgm.sig.status"],
            "valid");
  EXPECT_EQ(frame(readCapture(pcap, ""), a, "host")["zvgm.sig.status"], "not checked (no secret given)");
}

}  // namespace
