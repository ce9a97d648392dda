// wire.cc - the announcement format as seen from outside: a host line, one
// interface line per interface, a sessions line, and with a secret the
// "#sig=" trailer, nothing else; and the helpers the group tests share.
#include "wire.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

namespace tb {
namespace {

const std::string HEX = "(0|[1-9a-f][0-9a-f]*)";
const std::string DEC = "(-?(?:0|[1-9][0-9]*))";
const std::regex kHost("host=([^ \n]{1,63}) addr=" + HEX + " time=" + DEC + " numifs=" + DEC +
                       " flags=" + HEX + " cpus=" + DEC + " clock=" + DEC + " period=" + DEC +
                       " starttime=" + DEC + " load=(-?[0-9]+\\.[0-9])\n");
const std::regex kIntf("interface=([^ \n]{1,15}) ip=" + HEX + " mask=" + HEX + " bcast=" + HEX +
                       " flags=" + HEX + "\n");
const std::regex kSessions("sessions=" + DEC + " idles=" + DEC + "\n");
const std::regex kTrailer("#sig=[0-9a-f]{40}\n");

std::string hexFlags(unsigned f) {
  std::ostringstream s;
  s << std::hex << f;
  return s.str();
}

unsigned addrOf(const std::string &dotted) { return (unsigned)std::stoul(hexAddr(dotted), nullptr, 16); }

}  // namespace

std::string checkAnnouncement(const Datagram &d, const AnnounceExpect &e, long now) {
  const std::string &t = d.bytes;
  std::smatch m;
  auto at = t.begin();
  auto take = [&](const std::regex &re) {
    if (!std::regex_search(at, t.end(), m, re, std::regex_constants::match_continuous)) return false;
    return at = m[0].second, true;
  };
  std::ostringstream why;
  if (!take(kHost)) return "no valid host line at the start";
  if (m[1] != e.name) why << "host " << m[1] << " ";
  if (m[2] != hexAddr(e.addr)) why << "addr " << m[2] << " ";
  long time = std::stol(m[3]);
  if (time < now - 5 || time > now + 5) why << "time " << time << " ";
  if (std::stoul(m[4]) != e.ifs.size()) why << "numifs " << m[4] << " ";
  if (m[5] != hexFlags(e.flags)) why << "flags " << m[5] << " ";
  if (e.cpus >= 0 && std::stoi(m[6]) != e.cpus) why << "cpus " << m[6] << " ";
  if (std::stoi(m[8]) != e.period) why << "period " << m[8] << " ";
  long start = std::stol(m[9]);
  if (start < e.earliestStart || start > time) why << "starttime " << start << " ";
  for (const IfExpect &i : e.ifs) {
    if (!take(kIntf)) return why.str() + "no valid interface line for " + i.name;
    if (m[1] != i.name || m[2] != hexAddr(i.ip) || m[3] != hexAddr(i.mask) ||
        m[4] != hexAddr(i.bcast) || m[5] != hexFlags(i.flags))
      why << "interface line " << m[0];
  }
  if (!take(kSessions)) return why.str() + "no valid sessions line after the interfaces";
  if (std::stoi(m[1]) != e.sessions || std::stoi(m[2]) != e.idles) why << m[0];
  if (e.signedWith && !take(kTrailer)) return why.str() + "no valid signature trailer";
  if (at != t.end()) why << "trailing bytes after the message ";
  return why.str();
}

int cpuCount() {
#if defined(__x86_64__) || defined(__i386__)
  return (int)sysconf(_SC_NPROCESSORS_ONLN);
#else
  std::ifstream f("/proc/cpuinfo");  // elsewhere as the announcement counts them
  std::string text((std::istreambuf_iterator<char>(f)), {});
  int n = 0;
  for (size_t at = 0; text.size() < 10240 && (at = text.find("cpu MHz", at)) != std::string::npos; at += 7) n++;
  return n;
#endif
}

namespace common {

std::vector<std::string> props(std::vector<std::string> more) {
  more.insert(more.begin(), "gmKeepAliveInterval=" + std::to_string(kPeriod));
  return more;
}

Daemon *startSigned(Testbed &tb, const std::string &name, const std::string &secret,
                    std::vector<std::string> more) {
  tb.writeFile(name, kSecretFile, secret, 0600);
  more.push_back("gmSignatureFile=" + kSecretFile);
  return tb.start(name, props(more));
}

std::string save(Testbed &tb, const std::string &name, const std::string &text, int mode) {
  std::string path = tb.dir() + "/" + name;
  std::ofstream(path, std::ios::trunc) << text;
  chmod(path.c_str(), mode);
  return path;
}

bool holds(Testbed &tb, Daemon &d, const std::vector<std::string> &names,
           const std::vector<std::string> &heard, long maxAge, const std::set<std::string> &untrusted,
           size_t nifs) {
  std::vector<HostView> hs = d.status();
  if (hs.size() != names.size() || hs[0].name != d.name()) return false;
  for (const std::string &n : names) {
    const HostView *h = findHost(hs, n);
    if (!h || h->addr != addrOf(tb.ip(n)) || h->period != kPeriod || h->ifs.size() != nifs ||
        h->has("TRUSTED") == (untrusted.count(n) != 0))
      return false;
    bool live = std::find(heard.begin(), heard.end(), n) != heard.end();
    for (size_t i = 0; i < nifs; i++)
      if (h->ifs[i].ip != addrOf(tb.ip(n, (int)i)) ||
          (live && (h->ifs[i].lastpkt < 0 || h->ifs[i].lastpkt > maxAge)))
        return false;
  }
  return true;
}

std::vector<Lookup> lookups(Daemon &d, int n, const std::string &ctoken, int timeoutMs) {
  std::vector<Lookup> out;
  for (auto &[reply, ms] : d.timed(n, "which " + ctoken + " - - -", timeoutMs))
    out.push_back(
        {reply.rfind("which", 0) == 0 ? reply.substr(std::min<size_t>(6, reply.size())) : "?" + reply, ms});
  EXPECT_EQ(out.size(), (size_t)n) << d.name();
  out.resize(n, {"?", -1});
  return out;
}

std::string named(Testbed &tb, const std::string &answer, const std::vector<std::string> &names) {
  if (answer.empty()) return "";
  static const std::regex form("([0-9a-f]+):(true|false):-?[0-9]+");
  std::smatch m;
  if (!std::regex_match(answer, m, form)) return "?";
  for (const std::string &n : names)
    if (m[1] == hexAddr(tb.ip(n))) return n;
  return "?";
}

void settle(Testbed &tb, Daemon &d, const std::vector<std::string> &names, long maxAge,
            const std::set<std::string> &untrusted) {
  ASSERT_TRUE(Testbed::waitFor([&] { return holds(tb, d, names, names, maxAge, untrusted); }, 15000))
      << d.name() << " does not see the group";
  lookups(d, 1, "c-warmup", 40000);
}

}  // namespace common
}  // namespace tb
