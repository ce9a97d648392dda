// light.cc - the light server: the group manager library run without a JVM,
// through its C interface and with the terminal question answered from its
// own list, behind the daemon stand-in's settings file and admin console (one
// reply per line, ended by "."), so that a testbed can hold many servers.
//
//   zvgm-light PROPERTIES-FILE
//
// Beyond the daemon's commands it has "clock [SECONDS]", which shows or sets
// how far this server's wall clock runs from the machine's (see clock.c), and
// "timed N which ...", which is "parallel" with each answer's milliseconds,
// and "series N which ...": N lookups one after another, each answer with its
// microseconds (the scale run's lookup cost).
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bridge/bridge.h"
#include "gm.h"
#include "placement/placement.h"

extern "C" {
void lightClockShift(long seconds);
long lightClockShifted(void);
}

namespace {

const char *const kProg = "zvgm-light";
const int kMaxHosts = MAXHOSTS + 1;  // the group table's slots

// ---- settings: the daemon stand-in's keys, defaults and checks ----------------

struct Settings {
  int gmport = GM_DEFAULT_PORT;
  int keepAlive = GM_DEFAULT_KEEPALIVE;
  bool lanAllowed = false;
  bool multicast = true;
  bool enableGM = true;
  std::string mcaddr = GM_DEFAULT_GROUP;
  int ttl = GM_DEFAULT_TTL;
  bool loadBalancing = false;
  int debug = 0;
  std::string sigfile;
};

[[noreturn]] void fail(const std::string &why) {
  fprintf(stderr, "%s: %s\n", kProg, why.c_str());
  exit(2);
}

std::string trim(const std::string &s) {
  size_t b = s.find_first_not_of(" \t\r\f"), e = s.find_last_not_of(" \t\r\f");
  return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// key=value, key: value or "key value" lines; "#" and "!" start comments.
std::map<std::string, std::string> readProperties(const char *path) {
  std::ifstream f(path);
  if (!f) fail(std::string(path) + " (" + strerror(errno) + ")");
  std::map<std::string, std::string> props;
  for (std::string l; std::getline(f, l);) {
    l = trim(l);
    if (l.empty() || l[0] == '#' || l[0] == '!') continue;
    // The key ends at "=", ":" or a blank; blanks, then one "=" or ":", then
    // blanks separate it from the value.
    size_t sep = std::min(l.find_first_of("=: \t"), l.size());
    size_t v = std::min(l.find_first_not_of(" \t", sep), l.size());
    if (v < l.size() && (l[v] == '=' || l[v] == ':')) v = std::min(l.find_first_not_of(" \t", v + 1), l.size());
    std::string key = l.substr(0, sep), value = l.substr(v);
    props[key] = value;
  }
  return props;
}

bool parseInt(const std::string &s, int *out) {
  std::string t = trim(s);
  if (t.empty() || t.find_first_not_of("+-0123456789") != std::string::npos) return false;
  errno = 0;
  char *end;
  long v = strtol(t.c_str(), &end, 10);
  if (*end != 0 || errno != 0 || v < INT32_MIN || v > INT32_MAX) return false;
  *out = (int)v;
  return true;
}

// Strict, so that a typo cannot quietly turn group networking on or off.
Settings loadSettings(const char *path) {
  std::map<std::string, std::string> p = readProperties(path);
  Settings s;
  auto intOf = [&](const char *key, int *v) {
    auto it = p.find(key);
    if (it != p.end() && !parseInt(it->second, v))
      fail(std::string(key) + " is not an integer: " + it->second);
  };
  auto boolOf = [&](const char *key, bool *v) {
    auto it = p.find(key);
    if (it == p.end()) return;
    std::string t = trim(it->second);
    if (t != "true" && t != "false") fail(std::string(key) + " is not true or false: " + it->second);
    *v = t == "true";
  };
  intOf("gmport", &s.gmport);
  intOf("gmKeepAliveInterval", &s.keepAlive);
  boolOf("allowLANConnections", &s.lanAllowed);
  boolOf("enableMulticast", &s.multicast);
  boolOf("enableGroupManager", &s.enableGM);
  if (p.count("multicastAddress")) s.mcaddr = p["multicastAddress"];
  intOf("multicastTTL", &s.ttl);
  boolOf("enableLoadBalancing", &s.loadBalancing);
  intOf("gmDebug", &s.debug);
  if (p.count("gmSignatureFile")) s.sigfile = p["gmSignatureFile"];
  return s;
}

// ---- the terminals attached here, and the library's question about them ----------

std::mutex termLock;
std::set<std::string> attached;

// The library's question whether a terminal is attached here, on its manager
// thread: the id as the daemon's JVM would get it, looked up in the list.
int terminalHere(const char *term) {
  std::string seen(strlen(term) * 3 / 2 + 1, '\0');
  seen.resize(modifiedUtf8(term, seen.data()));
  std::lock_guard<std::mutex> g(termLock);
  return attached.count(seen) != 0 ? 1 : 0;
}

// ---- output --------------------------------------------------------------------

std::mutex outLock;

void reply(const std::vector<std::string> &lines, bool end) {
  std::string b;
  for (const std::string &l : lines) b += l + "\n";
  if (end) b += ".\n";
  std::lock_guard<std::mutex> g(outLock);
  fwrite(b.data(), 1, b.size(), stdout);
  fflush(stdout);
}

// The texts the daemon sees: bytes above 127 read as '?', one line ending
// dropped, as the Java natives and the console do.
std::string asDaemonSees(const char *text) {
  std::string s(text);
  for (char &c : s)
    if ((unsigned char)c > 127) c = '?';
  if (!s.empty() && s.back() == '\n') s.pop_back();
  return s;
}

// ---- the manager thread -----------------------------------------------------------

Settings settings;

void *runManager(void *) {
  gm_params gmp{};
  gmp.gmport = settings.gmport;
  gmp.keepAliveInterval = settings.keepAlive;
  gmp.LANallowed = settings.lanAllowed;
  gmp.enableGM = settings.enableGM;
  gmp.use_multicast = settings.multicast;
  gmp.mcaddr = settings.mcaddr.c_str();
  gmp.mcTTL = settings.ttl;
  gmp.use_lb = settings.loadBalancing;
  gmp.debug = settings.debug;
  gmp.sigfile = settings.sigfile.c_str();
  char errbuf[128] = "";
  groupManager(gmp, errbuf);
  reply({"groupManager failed: " + asDaemonSees(errbuf)}, false);
  return nullptr;
}

// ---- the console --------------------------------------------------------------------

struct BadArgument {
  std::string why;
};

void args(const std::vector<std::string> &w, size_t n) {
  if (w.size() != n + 1)
    throw BadArgument{w[0] + " takes " + std::to_string(n) + " argument" + (n == 1 ? "" : "s")};
}

int num(const std::string &word) {
  int v;
  if (!parseInt(word, &v) || word != trim(word)) throw BadArgument{"not a number: " + word};
  return v;
}

const char *text(const std::string &word) { return word == "-" ? "" : word.c_str(); }

// A dotted address as its 32 bits, first octet most significant, or a decimal.
uint32_t address(const std::string &word) {
  std::vector<std::string> octets;
  std::stringstream s(word);
  for (std::string o; std::getline(s, o, '.');) octets.push_back(o);
  if (!word.empty() && word.back() == '.') octets.push_back("");
  if (octets.size() == 1) {
    char *end;
    errno = 0;
    long long v = strtoll(word.c_str(), &end, 10);
    if (word.empty() || *end != 0 || errno != 0) throw BadArgument{"not an address: " + word};
    return (uint32_t)(v & 0xffffffff);
  }
  if (octets.size() != 4) throw BadArgument{"not an address: " + word};
  uint32_t a = 0;
  for (const std::string &o : octets) {
    if (o.empty() || o.size() > 3 || o.find_first_not_of("0123456789") != std::string::npos ||
        std::stoi(o) > 255)
      throw BadArgument{"not an address: " + word};
    a = (a << 8) | (uint32_t)std::stoi(o);
  }
  return a;
}

std::string which(const std::string &c, const std::string &i, const std::string &ip,
                  const std::string &f) {
  char buf[32] = "";
  whichServer(text(c), text(i), text(ip), text(f), buf);
  return "which " + asDaemonSees(buf);
}

std::string line(void (*fn)(int, char *), int n) {
  char buf[512] = "";
  fn(n, buf);
  return asDaemonSees(buf);
}

void status(std::vector<std::string> &r) {
  for (int i = 0; i < kMaxHosts; i++) {
    std::string host = line(groupHostLine, i);
    if (host == "Hostnum out of range") return;
    r.push_back(host);
    r.push_back(line(groupLoadLine, i));
    int n = groupNumIfs(i);
    for (int j = 0; j < n; j++) {
      char buf[512] = "";
      groupIntfLine(i, j, buf);
      r.push_back("  " + asDaemonSees(buf));
    }
  }
}

long monotonicUs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000L + ts.tv_nsec / 1000;
}
long monotonicMs() { return monotonicUs() / 1000; }

void seriesWhich(int n, const std::vector<std::string> &w, std::vector<std::string> &r) {
  if (n < 1 || n > 100000) throw BadArgument{"lookup count out of range: " + std::to_string(n)};
  for (int i = 0; i < n; i++) {
    long t0 = monotonicUs();
    std::string a = which(w[3], w[4], w[5], w[6]);
    r.push_back(a + " " + std::to_string(monotonicUs() - t0));
  }
}

// Many lookups at once: every thread waits for all the others before it asks,
// so that their lookups overlap; the answers come in thread order, each with
// its duration when timed.
void parallelWhich(int n, const std::vector<std::string> &w, bool timed,
                   std::vector<std::string> &r) {
  if (n < 1 || n > 256) throw BadArgument{"thread count out of range: " + std::to_string(n)};
  std::vector<std::string> answers(n);
  pthread_barrier_t start;
  pthread_barrier_init(&start, nullptr, (unsigned)n);
  std::vector<std::thread> threads;
  for (int t = 0; t < n; t++)
    threads.emplace_back([&, t] {
      pthread_barrier_wait(&start);
      long t0 = monotonicMs();
      answers[t] = which(w[3], w[4], w[5], w[6]);
      if (timed) answers[t] += " " + std::to_string(monotonicMs() - t0);
    });
  for (std::thread &t : threads) t.join();
  pthread_barrier_destroy(&start);
  r.insert(r.end(), answers.begin(), answers.end());
}

void command(const std::vector<std::string> &w, std::vector<std::string> &r) {
  const std::string &c = w[0];
  if (c == "numhosts") {
    args(w, 0);
    r.push_back("numhosts " + std::to_string(groupNumHosts()));
  } else if (c == "host") {
    args(w, 1);
    r.push_back(line(groupHostLine, num(w[1])));
  } else if (c == "load") {
    args(w, 1);
    r.push_back(line(groupLoadLine, num(w[1])));
  } else if (c == "numifs") {
    args(w, 1);
    r.push_back("numifs " + std::to_string(groupNumIfs(num(w[1]))));
  } else if (c == "intf") {
    args(w, 2);
    char buf[512] = "";
    groupIntfLine(num(w[1]), num(w[2]), buf);
    r.push_back(asDaemonSees(buf));
  } else if (c == "status") {
    args(w, 0);
    status(r);
  } else if (c == "which") {
    args(w, 4);
    r.push_back(which(w[1], w[2], w[3], w[4]));
  } else if (c == "parallel" || c == "timed" || c == "series") {
    args(w, 6);
    if (w[2] != "which") throw BadArgument{c + " runs which only"};
    if (c == "series")
      seriesWhich(num(w[1]), w, r);
    else
      parallelWhich(num(w[1]), w, c == "timed", r);
  } else if (c == "primary") {
    args(w, 2);
    char buf[64] = "";
    findPrimary(text(w[1]), text(w[2]), nullptr, buf);
    r.push_back("primary " + asDaemonSees(buf));
  } else if (c == "sessions") {
    args(w, 3);
    char *list = sessionList(text(w[1]), text(w[2]), text(w[3]));
    std::stringstream s(list != nullptr ? asDaemonSees(list) + "\n" : "allocation error");
    free(list);
    for (std::string l; std::getline(s, l);)
      if (!l.empty()) r.push_back(l);
  } else if (c == "allowed") {
    args(w, 1);
    r.push_back(std::string("allowed ") + (isNetworkAllowed(address(w[1])) ? "true" : "false"));
  } else if (c == "claim" || c == "disclaim") {
    // The daemon alone tracks tokens; the group learns of sessions from the
    // session directories, so both always succeed.
    args(w, 1);
    r.push_back(c + " true");
  } else if (c == "attach" || c == "detach") {
    args(w, 1);
    std::lock_guard<std::mutex> g(termLock);
    if (c == "attach")
      attached.insert(text(w[1]));
    else
      attached.erase(text(w[1]));
    r.push_back(c + "ed " + w[1]);
  } else if (c == "clock") {
    if (w.size() == 2) lightClockShift(num(w[1]));
    if (w.size() > 2) throw BadArgument{"clock takes at most 1 argument"};
    r.push_back("clock " + std::to_string(lightClockShifted()));
  } else {
    r.push_back("error unknown command");
  }
}

void serve() {
  reply({"ready"}, false);
  for (std::string l; std::getline(std::cin, l);) {
    std::vector<std::string> w;
    std::stringstream s(l);
    for (std::string word; s >> word;) w.push_back(word);
    if (w.empty()) w.push_back("");
    if (w[0] == "quit") {
      // At once, as the daemon's System.exit: no destructors run under the
      // manager thread, which is still using the library.
      fflush(stdout);
      _exit(0);
    }
    std::vector<std::string> r;
    try {
      command(w, r);
    } catch (const BadArgument &e) {
      r = {"error " + e.why};
    }
    reply(r, true);
  }
}

}  // namespace

int main(int argc, char **argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s <properties-file>\n", kProg);
    return 2;
  }
  settings = loadSettings(argv[1]);
  gmTerminalHere = terminalHere;
  pthread_t manager;
  if (pthread_create(&manager, nullptr, runManager, nullptr) != 0) fail("no manager thread");
  serve();
  // End of input: the server lives on with its group manager until killed.
  for (;;) pause();
}
