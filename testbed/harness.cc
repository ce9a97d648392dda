// harness.cc - processes, consoles and the testbed script behind the group
// tests. Every daemon dies with the test process (parent-death signal), and a
// SIGINT or SIGTERM tears the testbed down before the test process ends.
#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "group/defaults.h"

namespace tb {
namespace {

const char *const kScript = ZVTB_SCRIPT;
const char *const kBuild = ZVTB_BUILD;
const char *const kUdp = ZVTB_UDP;
const char *const kLogs = ZVTB_LOGS;

long nowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000L + ts.tv_nsec / 1000000;
}

// Runs "tb down" from a signal handler: only fork, execv and waitpid.
void teardownOnSignal(int sig) {
  static char arg0[] = "tb", arg1[] = "down";
  char *argv[] = {arg0, arg1, nullptr};
  pid_t pid = fork();
  if (pid == 0) {
    execv(kScript, argv);
    _exit(127);
  }
  if (pid > 0) waitpid(pid, nullptr, 0);
  _exit(128 + sig);
}

void installSignalTeardown() {
  static bool done = false;
  if (done) return;
  done = true;
  struct sigaction sa {};
  sa.sa_handler = teardownOnSignal;
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

// Runs the testbed script to its end; its exit status, output in *out.
int runScript(const std::vector<std::string> &args, std::string *out, const std::string &log) {
  std::vector<std::string> argv{kScript};
  argv.insert(argv.end(), args.begin(), args.end());
  Child c(argv, false, log);
  std::string line, all;
  while (c.readLine(&line, 120000)) all += line + "\n";
  int st = c.wait(30000);
  if (out) *out = all;
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string readFile(const std::string &path) {
  std::ifstream f(path);
  std::stringstream s;
  s << f.rdbuf();
  return s.str();
}

std::string testName() {
  const testing::TestInfo *t = testing::UnitTest::GetInstance()->current_test_info();
  return t ? std::string(t->test_suite_name()) + "." + t->name() : "none";
}

}  // namespace

// ---- Child --------------------------------------------------------------------

Child::Child(const std::vector<std::string> &argv, bool withStdin, const std::string &errLog) {
  int outp[2], inp[2] = {-1, -1};
  if (pipe2(outp, O_CLOEXEC) < 0) return;
  if (withStdin && pipe2(inp, O_CLOEXEC) < 0) return;
  std::vector<char *> args;
  for (const std::string &a : argv) args.push_back(const_cast<char *>(a.c_str()));
  args.push_back(nullptr);
  pid_t parent = getpid();
  pid_ = fork();
  if (pid_ == 0) {
    // The daemons must not outlive an aborted test.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(1);
    int err = open(errLog.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    int null = open("/dev/null", O_RDONLY);
    dup2(withStdin ? inp[0] : null, 0);
    dup2(outp[1], 1);
    if (err >= 0) dup2(err, 2);
    execv(args[0], args.data());
    _exit(127);
  }
  close(outp[1]);
  out_ = outp[0];
  if (withStdin) {
    close(inp[0]);
    in_ = inp[1];
  }
}

Child::~Child() {
  kill();
  if (in_ >= 0) close(in_);
  if (out_ >= 0) close(out_);
}

bool Child::running() {
  if (pid_ <= 0) return false;
  int st;
  pid_t r = waitpid(pid_, &st, WNOHANG);
  if (r == pid_) {
    status_ = st;
    pid_ = -1;
    return false;
  }
  return true;
}

bool Child::readLine(std::string *line, int timeoutMs) {
  long deadline = nowMs() + timeoutMs;
  for (;;) {
    size_t nl = buf_.find('\n');
    if (nl != std::string::npos) {
      *line = buf_.substr(0, nl);
      buf_.erase(0, nl + 1);
      return true;
    }
    long left = deadline - nowMs();
    if (out_ < 0 || left <= 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, (int)left) <= 0) continue;
    char chunk[4096];
    ssize_t n = read(out_, chunk, sizeof chunk);
    if (n <= 0) {
      close(out_);
      out_ = -1;
      if (!buf_.empty()) {  // a last line without its newline
        *line = buf_;
        buf_.clear();
        return true;
      }
      return false;
    }
    buf_.append(chunk, n);
    seen_.append(chunk, n);
  }
}

bool Child::write(const std::string &text) {
  if (in_ < 0) return false;
  return ::write(in_, text.data(), text.size()) == (ssize_t)text.size();
}

int Child::wait(int timeoutMs) {
  long deadline = nowMs() + timeoutMs;
  while (running()) {
    if (nowMs() > deadline) return -1;
    usleep(20000);
  }
  return status_;
}

void Child::kill() {
  if (!running()) return;
  ::kill(pid_, SIGTERM);
  if (wait(5000) == -1 && running()) {
    ::kill(pid_, SIGKILL);
    wait(5000);
  }
}

// ---- status lines -----------------------------------------------------------------

const IfView *HostView::intf(const std::string &n) const {
  for (const IfView &i : ifs)
    if (i.name == n) return &i;
  return nullptr;
}

bool parseStatus(const std::vector<std::string> &ls, std::vector<HostView> *hosts) {
  hosts->clear();
  for (const std::string &l : ls) {
    std::istringstream s(l);
    std::string word;
    s >> word;
    if (word == "host") {
      HostView h;
      std::string k[6];
      s >> h.name >> k[0] >> h.lastseen >> k[1] >> h.timeoff >> k[2] >> std::hex >> h.addr >>
          std::dec >> k[3] >> h.numifs >> k[4] >> h.period >> k[5] >> h.starttime;
      if (!s || k[0] != "lastseen" || k[1] != "timeoff" || k[2] != "addr" || k[3] != "numifs" ||
          k[4] != "period" || k[5] != "starttime")
        return false;
      while (s >> word) h.flags.insert(word);
      hosts->push_back(h);
    } else if (word == "sessions" && !hosts->empty()) {
      std::string k;
      s >> hosts->back().sessions >> k >> hosts->back().idles;
      if (!s || k != "idles") return false;
    } else if (word == "interface" && !hosts->empty()) {
      IfView i;
      std::string k[4];
      s >> i.name >> k[0] >> std::hex >> i.ip >> k[1] >> i.mask >> k[2] >> i.bcast >> std::dec >>
          k[3] >> i.lastpkt;
      if (!s || k[0] != "ip" || k[1] != "mask" || k[2] != "bcast" || k[3] != "lastpkt")
        return false;
      i.lan = (s >> word) && word == "LAN";
      hosts->back().ifs.push_back(i);
    }
  }
  return true;
}

const HostView *findHost(const std::vector<HostView> &hosts, const std::string &name) {
  int i = hostIndex(hosts, name);
  return i < 0 ? nullptr : &hosts[i];
}

int hostIndex(const std::vector<HostView> &hosts, const std::string &name) {
  for (size_t i = 0; i < hosts.size(); i++)
    if (hosts[i].name == name) return (int)i;
  return -1;
}

// ---- Daemon ------------------------------------------------------------------------

Daemon::Daemon(const std::string &name, std::unique_ptr<Child> child, std::string errLog)
    : name_(name), child_(std::move(child)), errLog_(std::move(errLog)) {}

bool Daemon::ready(int timeoutMs) {
  long deadline = nowMs() + timeoutMs;
  std::string line;
  while (child_->readLine(&line, (int)std::max(0L, deadline - nowMs())))
    if (line == "ready") return true;
  return false;
}

std::vector<std::string> Daemon::ask(const std::string &cmd, int timeoutMs) {
  std::vector<std::string> reply;
  if (!child_->write(cmd + "\n")) {
    ADD_FAILURE() << name_ << ": console closed before \"" << cmd << "\"";
    return {};
  }
  long deadline = nowMs() + timeoutMs;
  std::string line;
  while (child_->readLine(&line, (int)std::max(0L, deadline - nowMs()))) {
    if (line == ".") return reply;
    if (line.rfind("gotTerminal::", 0) == 0) continue;  // the library's own output
    reply.push_back(line);
  }
  ADD_FAILURE() << name_ << ": no reply to \"" << cmd << "\"";
  return {};
}

long Daemon::age(const std::string &peer) {
  std::vector<HostView> hs = status();
  const HostView *h = findHost(hs, peer);
  return h && !h->ifs.empty() ? h->ifs[0].lastpkt : -1;
}

std::vector<std::pair<std::string, long>> Daemon::timed(int n, const std::string &command, int timeoutMs) {
  std::vector<std::pair<std::string, long>> out;
  for (const std::string &l : ask("timed " + std::to_string(n) + " " + command, timeoutMs)) {
    size_t sp = l.rfind(' ');
    if (sp != std::string::npos) out.push_back({l.substr(0, sp), atol(l.c_str() + sp + 1)});
  }
  return out;
}

std::vector<HostView> Daemon::status() {
  std::vector<HostView> hosts;
  std::vector<std::string> r = ask("status");
  if (!parseStatus(r, &hosts)) {
    std::string all;
    for (const std::string &l : r) all += l + "\n";
    ADD_FAILURE() << name_ << ": malformed status reply:\n" << all;
    hosts.clear();
  }
  return hosts;
}

int Daemon::quit() {
  child_->write("quit\n");
  std::string line;
  while (child_->readLine(&line, 10000)) {
  }
  int st = child_->wait(10000);
  if (st == -1) child_->kill();
  return st;
}

std::string Daemon::problems() const {
  std::string found;
  std::istringstream all(child_->seen() + "\n" + readFile(errLog_));
  for (std::string l; std::getline(all, l);)
    if (l.find("WARNING in native method") != std::string::npos ||
        l.find("FATAL ERROR in native method") != std::string::npos ||
        l.find("JNI local refs") != std::string::npos ||
        l.find("groupManager failed") != std::string::npos)
      found += name_ + ": " + l + "\n";
  return found;
}

// ---- Observer -------------------------------------------------------------------------

// The datagrams that zvtb-udp prints on child's output until it ends.
static std::vector<Datagram> readDatagrams(Child &child, int timeoutMs) {
  std::vector<Datagram> got;
  std::string line;
  while (child.readLine(&line, timeoutMs)) {
    std::istringstream s(line);
    Datagram d;
    size_t len;
    std::string hex;
    if (!(s >> d.src >> d.port >> d.at >> len)) continue;  // "listening"
    s >> hex;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
      d.bytes.push_back((char)std::stoi(hex.substr(i, 2), nullptr, 16));
    if (d.bytes.size() == len) got.push_back(d);
  }
  child.wait(5000);
  return got;
}

std::vector<Datagram> Observer::collect(int timeoutMs) {
  return readDatagrams(*child_, timeoutMs);
}

// ---- Testbed --------------------------------------------------------------------------

std::string Testbed::unavailable() {
  if (geteuid() != 0) return "the testbed needs root";
  if (system("ip netns list >/dev/null 2>&1") != 0) return "ip netns is not available";
  if (system("unshare --net --mount --uts true >/dev/null 2>&1") != 0)
    return "network, mount or UTS namespaces are not available";
  return "";
}

bool Testbed::haveLight() {
  return access((std::string(kBuild) + "/testbed/light/zvgm-light").c_str(), X_OK) == 0;
}

Testbed::Testbed(const std::vector<std::string> &names, bool eth1, Kind kind)
    : names_(names), eth1_(eth1), kind_(kind) {
  installSignalTeardown();
  logs_ = std::string(kLogs) + "/" + testName();
  std::filesystem::remove_all(logs_);
  std::filesystem::create_directories(logs_);
  std::vector<std::string> args{"up", "--build", kBuild};
  if (eth1) args.insert(args.begin() + 1, "--eth1");
  if (kind == Kind::light) args.insert(args.begin() + 1, "--light");
  args.insert(args.end(), names.begin(), names.end());
  std::string out;
  if (runScript(args, nullptr, logs_ + "/tb.log") != 0 ||
      runScript({"dir"}, &out, logs_ + "/tb.log") != 0) {
    ADD_FAILURE() << "tb up failed:\n" << readFile(logs_ + "/tb.log");
    return;
  }
  dir_ = out.substr(0, out.find('\n'));
  ok_ = true;
}

Testbed::~Testbed() {
  for (auto &[name, d] : daemons_) d->quit();
  for (auto &[name, d] : daemons_) stopped_.push_back(std::move(d));
  std::string problems;
  for (auto &d : stopped_) problems += d->problems();
  EXPECT_EQ(problems, "") << "daemon logs in " << logs_;
  runScript({"down"}, nullptr, logs_ + "/tb.log");
}

std::string Testbed::path(const std::string &name, const std::string &p) const {
  static const std::pair<const char *, const char *> maps[] = {
      {"/etc/", "/etc/"}, {"/var/opt/", "/var-opt/"}, {"/opt/", "/opt/"}};
  for (auto [from, to] : maps)
    if (p.rfind(from, 0) == 0) return dir_ + "/" + name + to + p.substr(strlen(from));
  ADD_FAILURE() << "no server path " << p;
  return dir_ + "/none";
}

void Testbed::writeFile(const std::string &name, const std::string &p, const std::string &text,
                        int mode) {
  std::string hp = path(name, p);
  {
    std::ofstream f(hp, std::ios::trunc);
    f << text;
  }
  chmod(hp.c_str(), mode);
}

void Testbed::removeFile(const std::string &name, const std::string &p) {
  unlink(path(name, p).c_str());
}

Daemon *Testbed::start(const std::string &name, const std::vector<std::string> &props) {
  return start(name, props, kind_);
}

Daemon *Testbed::start(const std::string &name, const std::vector<std::string> &props, Kind kind,
                       const std::string &hostName) {
  if (daemons_.count(name)) stopped_.push_back(std::move(daemons_[name]));
  std::vector<std::string> argv{kScript, "start", kind == Kind::light ? "--light" : "--jvm", name};
  if (!hostName.empty()) argv.insert(argv.end() - 1, {"--hostname", hostName});
  argv.insert(argv.end(), props.begin(), props.end());
  std::string errLog = logs_ + "/" + name + ".err";
  auto d = std::make_unique<Daemon>(name, std::make_unique<Child>(argv, true, errLog), errLog);
  if (!d->ready(30000)) {
    ADD_FAILURE() << name << ": no ready line:\n" << d->child().seen() << readFile(errLog);
    stopped_.push_back(std::move(d));
    daemons_.erase(name);
    return nullptr;
  }
  return (daemons_[name] = std::move(d)).get();
}

Daemon *Testbed::daemon(const std::string &name) {
  auto it = daemons_.find(name);
  return it == daemons_.end() ? nullptr : it->second.get();
}

int Testbed::stop(const std::string &name) {
  auto it = daemons_.find(name);
  if (it == daemons_.end()) return -1;
  int st = it->second->quit();
  stopped_.push_back(std::move(it->second));
  daemons_.erase(it);
  return st;
}

int Testbed::run(const std::string &name, const std::vector<std::string> &argv) {
  std::vector<std::string> args{"exec", name};
  args.insert(args.end(), argv.begin(), argv.end());
  return runScript(args, nullptr, logs_ + "/exec.log");
}

void Testbed::addSession(const std::string &name, const std::string &ctoken, int dpy, time_t mtime,
                         bool idle) {
  std::string token = "/var/opt/KORVzv/ctokens/" + ctoken, d = std::to_string(dpy);
  writeFile(name, token, "USER=u" + d + "\nDISPLAY=" + d + "\n");
  writeFile(name, "/var/opt/KORVzv/displays/" + d, "");
  if (idle) writeFile(name, "/var/opt/KORVzv/idle/" + d + ".pid", "1\n");
  utimbuf ub{mtime, mtime};
  if (mtime != 0) utime(path(name, token).c_str(), &ub);
}

int Testbed::nft(const std::string &rules) {
  std::string f = dir_ + "/rules.nft";
  std::ofstream(f) << rules;
  return run("sw", {"nft", "-f", f});
}

int Child::finish(int lineMs, int waitMs) {
  std::string line;
  while (readLine(&line, lineMs)) {
  }
  int st = wait(waitMs);
  return st >= 0 && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

std::string Testbed::output(const std::string &name, const std::vector<std::string> &argv,
                            int *status) {
  std::vector<std::string> args{kScript, "exec", name};
  args.insert(args.end(), argv.begin(), argv.end());
  Child c(args, false, logs_ + "/output.err");
  int st = c.finish();
  if (status) *status = st;
  return c.seen();
}

std::string Testbed::pageDom(const std::string &name, const std::string &chromium,
                             const std::string &url) {
  return output(name, {"env", "DBUS_SYSTEM_BUS_ADDRESS=unix:path=/nonexistent",
                       "DBUS_SESSION_BUS_ADDRESS=disabled:", chromium, "--headless", "--no-sandbox",
                       "--disable-gpu", "--disable-quic", "--no-first-run",
                       "--disable-background-networking", "--disable-component-update",
                       "--disable-sync", "--user-data-dir=" + dir_ + "/chromium",
                       "--virtual-time-budget=3000", "--dump-dom", url});
}

std::unique_ptr<Child> Testbed::prometheus(const std::string &name, const std::string &prom,
                                           const std::string &rules, const std::string &target) {
  std::string d = dir_ + "/prometheus";
  std::filesystem::create_directories(d);
  std::ofstream(d + "/prometheus.yml")
      << "global: {scrape_interval: 1s, evaluation_interval: 1s}\nrule_files: ['" << rules
      << "']\nscrape_configs:\n  - job_name: zvgm\n    static_configs: [{targets: ['" << target << "']}]\n";
  return std::make_unique<Child>(
      std::vector<std::string>{kScript, "exec", name, prom, "--config.file=" + d + "/prometheus.yml",
                               "--storage.tsdb.path=" + d + "/data", "--web.listen-address=127.0.0.1:9090"},
      false, d + "/prometheus.err");
}

std::unique_ptr<Observer> Testbed::observe(int seconds, bool group) {
  std::vector<std::string> argv{kScript, "exec", "obs", kUdp, "recv",
                                std::to_string(GM_DEFAULT_PORT), std::to_string(seconds)};
  if (group) {
    argv.push_back(GM_DEFAULT_GROUP);
    argv.push_back("198.51.100.250");
    if (eth1_) argv.push_back("203.0.113.250");
  }
  auto c = std::make_unique<Child>(argv, false, logs_ + "/observer.err");
  std::string line;
  if (!c->readLine(&line, 10000) || line != "listening") {
    ADD_FAILURE() << "observer did not start:\n" << readFile(logs_ + "/observer.err");
    return nullptr;
  }
  return std::make_unique<Observer>(std::move(c));
}

std::vector<Datagram> Testbed::ask(const std::string &from, const std::string &dest,
                                   const std::string &text, int ms) {
  Child c({kScript, "exec", from, kUdp, "ask", dest, std::to_string(GM_DEFAULT_PORT), text,
           std::to_string(ms)},
          false,
          logs_ + "/ask.err");
  return readDatagrams(c, ms + 10000);
}

std::string Testbed::ip(int server, int intf) {
  return std::string(intf == 0 ? "198.51.100." : "203.0.113.") + std::to_string(10 + server);
}

std::string Testbed::ip(const std::string &name, int intf) const {
  for (size_t i = 0; i < names_.size(); i++)
    if (names_[i] == name) return ip((int)i + 1, intf);
  return "";
}

std::string Testbed::port(const std::string &name, int intf) const {
  for (size_t i = 0; i < names_.size(); i++)
    if (names_[i] == name) return "s" + std::to_string(i + 1) + "e" + std::to_string(intf);
  return "";
}

bool Testbed::waitFor(const std::function<bool()> &cond, int timeoutMs) {
  long deadline = nowMs() + timeoutMs;
  for (;;) {
    if (cond()) return true;
    if (nowMs() > deadline) return false;
    usleep(200000);
  }
}

// ---- small helpers -----------------------------------------------------------------------

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> out;
  size_t at = 0;
  for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
    out.push_back(text.substr(at, nl - at));
  if (at < text.size()) out.push_back(text.substr(at));
  return out;
}

std::string hexAddr(const std::string &dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted.c_str(), &a);
  char buf[16];
  snprintf(buf, sizeof buf, "%x", ntohl(a.s_addr));
  return buf;
}

std::string localOutput(const std::string &cmd) {
  std::string out;
  FILE *p = popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
  pclose(p);
  return out;
}

std::vector<std::map<std::string, std::string>> captureFields(
    const std::string &tshark, const std::string &pcap, const std::string &opts,
    const std::vector<std::string> &fields) {
  std::string cmd = tshark + " -n -r " + pcap + " " + opts + " -T fields -E separator='|' -E aggregator=,";
  for (const std::string &f : fields) cmd += " -e " + f;
  std::vector<std::map<std::string, std::string>> frames;
  for (const std::string &line : lines(localOutput(cmd + " 2>/dev/null"))) {
    std::map<std::string, std::string> f;
    size_t pos = 0;
    for (const std::string &k : fields) {
      size_t bar = std::min(line.find('|', pos), line.size());
      f[k] = line.substr(pos, bar - pos), pos = std::min(bar + 1, line.size());
    }
    frames.push_back(f);
  }
  return frames;
}

bool writeDatagramCapture(const std::string &bytes, const std::string &src, const std::string &dst,
                          int port, const std::string &out) {
  std::string dump = "0000";
  char hx[4];
  for (unsigned char c : bytes) snprintf(hx, sizeof hx, " %02x", c), dump += hx;
  std::ofstream(out + ".hex") << dump << "\n";
  std::string p = std::to_string(port);
  return system(("text2pcap -q -u " + p + "," + p + " -4 " + src + "," + dst + " " + out + ".hex " +
                 out + " >/dev/null 2>&1").c_str()) == 0;
}

double since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

void figure(const char *fmt, double v) {
  printf("[ figure   ] "), printf(fmt, v), printf("\n"), fflush(stdout);
}

}  // namespace tb
