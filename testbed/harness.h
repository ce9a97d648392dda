// harness.h - drives the network testbed (testbed/tb) from GoogleTest: brings
// it up, runs daemons with their consoles on pipes, records what an observer
// hears on the wire, and always takes everything down again.
#ifndef ZVGM_GROUP_HARNESS_H
#define ZVGM_GROUP_HARNESS_H

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

// Skip the calling test, with the reason, where the testbed or (the second,
// in a file using namespace tb) the light server cannot run.
#define REQUIRE_TESTBED()                                    \
  do {                                                       \
    std::string why_ = tb::Testbed::unavailable();           \
    if (!why_.empty()) GTEST_SKIP() << why_;                 \
  } while (0)
#define REQUIRE_LIGHT_TESTBED()                                                \
  do {                                                                         \
    REQUIRE_TESTBED();                                                         \
    if (!Testbed::haveLight()) GTEST_SKIP() << "the light server is not built"; \
  } while (0)

namespace tb {

// A child process with its standard output on a pipe (and, when asked, its
// standard input); its standard error goes to a log file.
class Child {
 public:
  Child(const std::vector<std::string> &argv, bool withStdin, const std::string &errLog);
  ~Child();
  bool running();
  // The next line of standard output (without "\n"), or false at the
  // deadline or at end of output.
  bool readLine(std::string *line, int timeoutMs);
  bool write(const std::string &text);
  // Waits for the exit; the wait status, or -1 at the deadline.
  int wait(int timeoutMs);
  // Reads standard output to its end (each line within lineMs), then waits
  // for the exit; the exit status, or -1 when it did not end normally.
  int finish(int lineMs = 60000, int waitMs = 10000);
  void kill();
  // Everything read from standard output so far.
  const std::string &seen() const { return seen_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int in_ = -1, out_ = -1;
  int status_ = -1;
  std::string buf_, seen_;
};

// One line of a status reply, parsed.
struct IfView {
  std::string name;
  unsigned ip = 0, mask = 0, bcast = 0;
  long lastpkt = 0;
  bool lan = false;
};
struct HostView {
  std::string name;
  unsigned addr = 0;
  long lastseen = 0, timeoff = 0, starttime = 0;
  int numifs = 0, period = 0;
  std::set<std::string> flags;  // ROUTER, LAN_OK, TRUSTED, OFFLINE
  int sessions = 0, idles = 0;
  std::vector<IfView> ifs;
  bool has(const char *flag) const { return flags.count(flag) != 0; }
  const IfView *intf(const std::string &n) const;
};
// The hosts of a status reply in table order; false on a malformed reply.
bool parseStatus(const std::vector<std::string> &lines, std::vector<HostView> *hosts);
const HostView *findHost(const std::vector<HostView> &hosts, const std::string &name);
int hostIndex(const std::vector<HostView> &hosts, const std::string &name);

class Daemon {
 public:
  Daemon(const std::string &name, std::unique_ptr<Child> child, std::string errLog);
  bool ready(int timeoutMs);
  // Sends one console line; the reply's lines up to the "." line. A reply
  // that does not come in time fails the test and yields no lines.
  std::vector<std::string> ask(const std::string &line, int timeoutMs = 10000);
  std::vector<HostView> status();
  // Seconds since peer's first interface was heard, as this daemon's table
  // has it; -1 when the table lacks it.
  long age(const std::string &peer);
  // The light server's "timed n command": per reply line, its text before
  // the last space and the milliseconds after it.
  std::vector<std::pair<std::string, long>> timed(int n, const std::string &command, int timeoutMs);
  // "quit", then the exit status (0 when the JVM ended cleanly).
  int quit();
  // JNI complaints and start-up failures seen on stdout or in the log.
  std::string problems() const;
  const std::string &name() const { return name_; }
  Child &child() { return *child_; }

 private:
  std::string name_;
  std::unique_ptr<Child> child_;
  std::string errLog_;
};

struct Datagram {
  std::string src;  // sender's address, dotted
  int port = 0;
  long at = 0;  // arrival, seconds since the epoch
  std::string bytes;
};

class Observer {
 public:
  explicit Observer(std::unique_ptr<Child> child) : child_(std::move(child)) {}
  // Waits for the end of the observation and returns every datagram heard.
  std::vector<Datagram> collect(int timeoutMs);

 private:
  std::unique_ptr<Child> child_;
};

// What runs a server: the daemon stand-in in a JVM, or the light server
// (zvgm-light: the library through its C interface, same console).
enum class Kind { jvm, light };

class Testbed {
 public:
  // Why the group tests cannot run here, or "" when they can.
  static std::string unavailable();
  // Whether the light server was built beside the library.
  static bool haveLight();
  // Brings up servers names (eth0, and eth1 too when eth1 is set), each run
  // as kind unless start says otherwise.
  Testbed(const std::vector<std::string> &names, bool eth1, Kind kind = Kind::jvm);
  // Stops the daemons (failing the test on JNI complaints) and tears down.
  ~Testbed();
  bool ok() const { return ok_; }
  std::string dir() const { return dir_; }
  // Host-side path of a file as server name sees it (/etc/..., /var/opt/...,
  // /opt/...).
  std::string path(const std::string &name, const std::string &serverPath) const;
  void writeFile(const std::string &name, const std::string &serverPath,
                 const std::string &text, int mode = 0644);
  void removeFile(const std::string &name, const std::string &serverPath);
  // A session of display dpy for ctoken on server name, its token file
  // modified at mtime (0: now); idle marks the display idle.
  void addSession(const std::string &name, const std::string &ctoken, int dpy, time_t mtime = 0,
                  bool idle = false);
  // Loads an nft rule set (the text of nft -f) in the switch's namespace;
  // the exit status.
  int nft(const std::string &rules);
  // Starts a daemon of name with key=value properties; null on failure.
  Daemon *start(const std::string &name, const std::vector<std::string> &props);
  // Of the given kind, under the host name hostName (its own name when
  // empty; another's makes two servers of one name).
  Daemon *start(const std::string &name, const std::vector<std::string> &props, Kind kind,
                const std::string &hostName = "");
  Daemon *daemon(const std::string &name);
  // Stops name's daemon with "quit" and returns the exit status.
  int stop(const std::string &name);
  // Runs a command as server name sees the world ("obs": the observer, "sw":
  // the switch, where loss, duplication and partitions are made); its exit
  // status.
  int run(const std::string &name, const std::vector<std::string> &argv);
  // Runs argv where run would and collects its standard output (standard
  // error goes to the testbed's logs); its exit status, or -1 when it did not
  // end normally, in *status.
  std::string output(const std::string &name, const std::vector<std::string> &argv,
                     int *status = nullptr);
  // Listens on the group port in the observer for seconds; with group set,
  // joins it on the observer's interfaces.
  std::unique_ptr<Observer> observe(int seconds, bool group);
  // The document of url after its scripts ran for about 3 s, as headless
  // Chromium (chromium) in namespace name dumps it.
  std::string pageDom(const std::string &name, const std::string &chromium, const std::string &url);
  // Prometheus (binary prom) in namespace name on 127.0.0.1:9090, scraping
  // target (host:port) every second with the rule file rules.
  std::unique_ptr<Child> prometheus(const std::string &name, const std::string &prom,
                                    const std::string &rules, const std::string &target);
  // Sends text ("\\n" stands for a newline) from server from ("obs": the
  // observer) to dest at the group port and returns the replies heard
  // within ms milliseconds.
  std::vector<Datagram> ask(const std::string &from, const std::string &dest,
                            const std::string &text, int ms);
  static std::string ip(int server, int intf = 0);  // server counts from 1
  std::string ip(const std::string &name, int intf = 0) const;
  // The switch's port (a bridge member) that leads to name's interface intf.
  std::string port(const std::string &name, int intf = 0) const;
  // Polls cond every 200 ms for up to timeoutMs.
  static bool waitFor(const std::function<bool()> &cond, int timeoutMs);

 private:
  std::vector<std::string> names_;
  bool eth1_;
  Kind kind_;
  bool ok_ = false;
  std::string dir_, logs_;
  std::map<std::string, std::unique_ptr<Daemon>> daemons_;
  std::vector<std::unique_ptr<Daemon>> stopped_;
};

// Lines of a datagram text split at "\n" (each without its "\n").
std::vector<std::string> lines(const std::string &text);
std::string hexAddr(const std::string &dotted);
// Standard output of a shell command run on this side, outside the testbed
// (for readers of files: jq, tshark on a capture, sha1sum).
std::string localOutput(const std::string &cmd);
// The given fields of every frame of a capture file that tshark (with
// options opts, e.g. a dissector and a display filter) shows; an empty
// string for a field a frame lacks.
std::vector<std::map<std::string, std::string>> captureFields(
    const std::string &tshark, const std::string &pcap, const std::string &opts,
    const std::vector<std::string> &fields);
// Writes a capture file out holding one UDP datagram of bytes from src to
// dst, port to port (text2pcap); false on failure.
bool writeDatagramCapture(const std::string &bytes, const std::string &src, const std::string &dst,
                          int port, const std::string &out);
// Prints a measured figure beside the test's output.
void figure(const char *fmt, double v);
// Seconds on the monotonic clock since t0.
double since(std::chrono::steady_clock::time_point t0);

}  // namespace tb

#endif
