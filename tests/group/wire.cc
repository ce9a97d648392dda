// wire.cc - the announcement format as seen from outside: a host line, one
// interface line per interface, a sessions line, and with a secret the
// "#sig=" trailer of SHA-1(secret + text), nothing else.
#include "wire.h"

#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>

#include "gm.h"

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
const std::regex kTrailer("#sig=([0-9a-f]{40})\n");

std::string hexDigest(const std::string &secret, const std::string &text) {
  std::string all = secret + text;
  unsigned char d[20];
  sha1(all.data(), (uint32_t)all.size(), d);
  char out[41];
  for (int i = 0; i < 20; i++) snprintf(out + 2 * i, 3, "%02x", d[i]);
  return out;
}

std::string hexFlags(unsigned f) {
  char b[16];
  snprintf(b, sizeof b, "%x", f);
  return b;
}

}  // namespace

std::string checkAnnouncement(const Datagram &d, const AnnounceExpect &e, long now) {
  const std::string &t = d.bytes;
  std::smatch m;
  auto at = t.begin();
  auto take = [&](const std::regex &re) {
    if (!std::regex_search(at, t.end(), m, re, std::regex_constants::match_continuous))
      return false;
    at = m[0].second;
    return true;
  };
  std::ostringstream why;
  if (!take(kHost)) return "no valid host line at the start";
  if (m[1] != e.name) why << "host " << m[1] << " ";
  if (m[2] != hexAddr(e.addr)) why << "addr " << m[2] << " ";
  long time = std::stol(m[3]);
  if (time < now - 5 || time > now + 5) why << "time " << time << " ";
  if (std::stoul(m[4]) != e.ifs.size()) why << "numifs " << m[4] << " ";
  if (m[5] != hexFlags(e.flags)) why << "flags " << m[5] << " ";
  if (std::stoi(m[6]) != e.cpus) why << "cpus " << m[6] << " ";
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
  std::string text(t.begin(), at);
  if (e.signedWith) {
    if (!take(kTrailer)) return why.str() + "no valid signature trailer";
    if (m[1] != hexDigest(e.secret, text)) why << "signature does not verify ";
  }
  if (at != t.end()) why << "trailing bytes after the message ";
  return why.str();
}

int cpuCount() {
  std::ifstream f("/proc/cpuinfo");
  std::stringstream s;
  s << f.rdbuf();
  std::string text = s.str();
  if (text.empty() || text.size() >= 10240) return 0;  // the announcement's "not read"
  int n = 0;
  for (size_t at = 0; (at = text.find("cpu MHz", at)) != std::string::npos; at += 7) n++;
  return n;
}

}  // namespace tb
