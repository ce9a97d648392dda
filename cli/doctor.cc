// doctor.cc - `zvgm doctor`: looks at this host as a group manager would use
// it (its name, interfaces, the group port, the firewall, the secret file),
// listens to the group for two keep-alive intervals, and says in one line
// each what keeps the group from working. It sends nothing.
#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>

#include "findings.h"

namespace zvgm {

namespace {

// Listening lasts two keep-alive intervals of the slowest member heard (the
// default interval until one is), and a second more for the last copies.
constexpr int kIntervals = 2;
constexpr double kSlack = 1;

std::string fileText(const std::string &path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

// The sockets of this network namespace on the UDP port that take
// datagrams sent to this host: bound to any address or to one of its own,
// not to a group or a broadcast address (as zvgm binds).
std::vector<PortHolder> portHolders(int port, const std::vector<uint32_t> &broadcasts) {
  std::map<unsigned long, PortHolder> byInode;
  std::istringstream udp(fileText("/proc/net/udp"));
  std::string line;
  std::getline(udp, line);  // the heading
  while (std::getline(udp, line)) {
    unsigned addr, p;
    unsigned long inode;
    if (sscanf(line.c_str(), " %*d: %8X:%4X %*8X:%*4X %*2X %*8X:%*8X %*2X:%*8X %*8X %*u %*d %lu",
               &addr, &p, &inode) != 3 || (int)p != port)
      continue;
    // The kernel prints the address as it lies in memory, which is network
    // order read as a number of this machine.
    uint32_t a = addr;
    if (IN_MULTICAST(ntohl(a)) || a == INADDR_BROADCAST ||
        std::find(broadcasts.begin(), broadcasts.end(), a) != broadcasts.end())
      continue;
    byInode[inode].addr = a;
  }
  // Their owners, where this user may look.
  if (DIR *d = opendir("/proc")) {
    while (struct dirent *e = readdir(d)) {
      if (strspn(e->d_name, "0123456789") != strlen(e->d_name)) continue;
      std::string fdDir = std::string("/proc/") + e->d_name + "/fd";
      DIR *fds = opendir(fdDir.c_str());
      if (fds == nullptr) continue;
      while (struct dirent *fe = readdir(fds)) {
        char target[64];
        ssize_t n = readlink((fdDir + "/" + fe->d_name).c_str(), target, sizeof target - 1);
        unsigned long inode;
        if (n <= 0) continue;
        target[n] = '\0';
        if (sscanf(target, "socket:[%lu]", &inode) != 1) continue;
        auto it = byInode.find(inode);
        if (it == byInode.end() || it->second.pid >= 0) continue;
        PortHolder &h = it->second;
        h.pid = atoi(e->d_name);
        std::string proc = std::string("/proc/") + e->d_name;
        h.program = fileText(proc + "/comm");
        if (!h.program.empty() && h.program.back() == '\n') h.program.pop_back();
        // A group manager: the daemon with the library loaded, or the light
        // server, which holds the library's code itself.
        h.manager = h.program == "zvgm-light" ||
                    fileText(proc + "/maps").find("/libzvgm.so") != std::string::npos;
      }
      closedir(fds);
    }
    closedir(d);
  }
  std::vector<PortHolder> out;
  for (const auto &[inode, h] : byInode) out.push_back(h);
  return out;
}

// Whether a group manager could still open the port: a socket sharing
// addresses, as the library's, binds it. Asked only where no manager runs,
// so that no datagram meant for one can reach this socket meanwhile.
bool portFree(int port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return true;
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  struct sockaddr_in sa {};
  sa.sin_family = AF_INET;
  sa.sin_port = htons((uint16_t)port);
  bool ok = bind(fd, (struct sockaddr *)&sa, sizeof sa) == 0 || errno != EADDRINUSE;
  close(fd);
  return ok;
}

// The firewall's rule set as JSON; "" where nft is missing or may not read it.
std::string nftRuleset() {
  if (geteuid() != 0) return "";
  const char *nft = access("/usr/sbin/nft", X_OK) == 0 ? "/usr/sbin/nft"
                    : access("/sbin/nft", X_OK) == 0  ? "/sbin/nft"
                                                      : nullptr;
  if (nft == nullptr) return "";
  std::string out;
  if (FILE *p = popen((std::string(nft) + " -j list ruleset 2>/dev/null").c_str(), "r")) {
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    pclose(p);
  }
  return out;
}

// The secret file as the library would take it.
void secretFacts(const std::string &path, LocalFacts *f) {
  f->secretPath = path;
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st;
  if (fd < 0 || fstat(fd, &st) != 0) {
    f->secretRefused = std::string("cannot be read (") + strerror(errno) + ")";
    if (fd >= 0) close(fd);
    return;
  }
  f->secretRefused = secretRefusal(st);
  if (f->secretRefused.empty()) {
    // One read of the size, as the library reads it: a file that is no
    // plain file gives what it gives.
    std::string s((size_t)st.st_size, '\0');
    ssize_t got = read(fd, s.data(), s.size());
    s.resize(got > 0 ? (size_t)got : 0);
    f->secretBytes = s.size();
    f->secretBits = secretBits(s);
  }
  close(fd);
}

// The local name resolved as the library resolves it at start-up.
void nameFacts(LocalFacts *f) {
  char name[64] = "";
  if (gethostname(name, sizeof name) != 0) return;
  name[sizeof name - 1] = '\0';
  f->hostName = name;
  struct hostent *he = gethostbyname(name);
  f->resolved = he != nullptr && he->h_addrtype == AF_INET && he->h_length == 4 &&
                he->h_addr_list != nullptr && he->h_addr_list[0] != nullptr;
  if (f->resolved) memcpy(&f->address, he->h_addr_list[0], 4);
}

double since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

// Listens for the given seconds, or, with none given, for two intervals of
// the slowest member heard.
void listenToGroup(Roster &r, double seconds, LocalFacts *f) {
  auto t0 = std::chrono::steady_clock::now();
  double limit = seconds >= 0 ? seconds : kIntervals * GM_DEFAULT_KEEPALIVE + kSlack;
  while (since(t0) < limit) {
    r.listen(std::min(0.25, limit - since(t0)), false);
    if (seconds >= 0) continue;
    int slowest = 0;
    for (const Member &m : r.members) slowest = std::max(slowest, m.h->period);
    if (slowest > 0) limit = kIntervals * slowest + kSlack;
  }
  f->listened = since(t0);
}

}  // namespace

int runDoctor(const Options &o) {
  LocalFacts f;
  f.port = o.port;
  f.group = o.broadcast ? "" : o.group;
  nameFacts(&f);
  // A secret the library would refuse is a finding, not a reason to stop;
  // one it takes checks the members' signatures.
  Options listening = o;
  if (!o.secret.empty()) {
    secretFacts(o.secret, &f);
    if (!f.secretRefused.empty()) listening.secret.clear();
  }
  Roster r;
  std::string err;
  if (!r.prepare(listening, &err)) {
    fail(err);
    return kExitError;
  }
  int n = 0;
  std::vector<uint32_t> broadcasts;
  if (interface *ifs = read_kernel_ifs(&n)) {
    f.interfaces = n;
    for (int i = 0; i < n; i++) broadcasts.push_back(ifs[i].bcastAddr.sin_addr.s_addr);
    free(ifs);
  }
  f.holders = portHolders(o.port, broadcasts);
  for (const PortHolder &h : f.holders) f.member = f.member || h.manager;
  f.portFree = f.member || portFree(o.port);
  f.filters = portFilters(nftRuleset(), o.port);
  f.igmpLimit = atoi(fileText("/proc/sys/net/ipv4/igmp_max_memberships").c_str());
  if (r.openSockets(&err))
    listenToGroup(r, o.wait, &f);
  else
    f.listenError = err;
  if (!o.broadcast) f.joinFailures = r.joinFailures;
  time_t now = gmSys.now();
  f.heard = (int)r.members.size();
  for (const Member &m : r.members) f.member = f.member || f.hostName == m.h->name;

  std::vector<Finding> found = groupFindings(r, now, f.hostName);
  for (Finding &l : localFindings(f)) {
    // This host's loopback address, heard from its own manager as well.
    bool heard = std::any_of(found.begin(), found.end(), [&](const Finding &g) {
      return g.kind == l.kind && g.name == l.name;
    });
    if (!(heard && l.kind == "loopback_address")) found.push_back(l);
  }
  settle(&found);
  if (o.json) {
    Json all = Json::array();
    for (const Finding &x : found) all.push_back(findingJson(x));
    // A path or a program name may hold bytes that are no UTF-8.
    printf("%s\n", all.dump(-1, ' ', false, Json::error_handler_t::replace).c_str());
  } else if (found.empty()) {
    printf("no problem found: %d members heard in %.0f s\n", f.heard, f.listened);
  } else {
    for (const Finding &x : found) printf("%s\n", findingLine(x).c_str());
  }
  return worst(found);
}

}  // namespace zvgm
