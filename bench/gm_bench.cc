// gm_bench.cc - speed figures of the signing and placement paths: SHA-1 on
// each block function (and libcrypto's beside it), the responder's answers
// per second and a token lookup, each against its bare twin (bare.c) doing
// the same work, and an idle manager's wake-ups. All traffic stays on 127.0.0.0/8; the ratios
// printed at the end compare figures measured in the same run.
#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bare.h"
#include "inside.h"
#include "placement/placement.h"
#include "placement/query_engine.h"
#ifdef ZVGM_HAVE_LIBCRYPTO
#include <openssl/evp.h>
#include <openssl/sha.h>
#endif

void sha1Before(const void *data, uint32_t len, unsigned char digest[20]);

namespace {

// ---- SHA-1 ------------------------------------------------------------

// range(0): GM_SHA1_PORTABLE or GM_SHA1_SHAEXT; range(1): text length.
void BM_Sha1(benchmark::State &state) {
  int path = (int)state.range(0);
  if (sha1UsePath(path) != path) {
    state.SkipWithError("this CPU has no SHA extensions");
    sha1UsePath(GM_SHA1_SHAEXT);
    return;
  }
  std::vector<unsigned char> text((size_t)state.range(1), 0x5a);
  unsigned char d[20];
  for (auto _ : state) {
    sha1(text.data(), (uint32_t)text.size(), d);
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed((int64_t)state.iterations() * state.range(1));
  sha1UsePath(GM_SHA1_SHAEXT);
}
BENCHMARK(BM_Sha1)->ArgNames({"path", "bytes"})->ArgsProduct({{GM_SHA1_PORTABLE, GM_SHA1_SHAEXT}, {64, 1500}});

// The digest the library had before, the baseline of the portable path.
void BM_Sha1Before(benchmark::State &state) {
  std::vector<unsigned char> text((size_t)state.range(0), 0x5a);
  unsigned char d[20];
  for (auto _ : state) {
    sha1Before(text.data(), (uint32_t)text.size(), d);
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}
BENCHMARK(BM_Sha1Before)->ArgName("bytes")->Arg(64)->Arg(1500);

#ifdef ZVGM_HAVE_LIBCRYPTO
void BM_Sha1OpenSSL(benchmark::State &state) {
  std::vector<unsigned char> text((size_t)state.range(0), 0x5a);
  unsigned char d[20];
  for (auto _ : state) {
    SHA1(text.data(), text.size(), d);
    benchmark::DoNotOptimize(d);
  }
  state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}
BENCHMARK(BM_Sha1OpenSSL)->ArgName("bytes")->Arg(64)->Arg(1500);

// libcrypto at its quickest: the digest fetched once and one context used
// again for every text, so only the digest itself is measured.
void BM_Sha1OpenSSLReused(benchmark::State &state) {
  std::vector<unsigned char> text((size_t)state.range(0), 0x5a);
  unsigned char d[EVP_MAX_MD_SIZE];
  unsigned int dlen = 0;
  EVP_MD *md = EVP_MD_fetch(nullptr, "SHA1", nullptr);
  EVP_MD_CTX *ctx = EVP_MD_CTX_new();
  if (md == nullptr || ctx == nullptr) {
    state.SkipWithError("libcrypto has no SHA-1");
  } else {
    for (auto _ : state) {
      EVP_DigestInit_ex(ctx, md, nullptr);
      EVP_DigestUpdate(ctx, text.data(), text.size());
      EVP_DigestFinal_ex(ctx, d, &dlen);
      benchmark::DoNotOptimize(d);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
}
BENCHMARK(BM_Sha1OpenSSLReused)->ArgName("bytes")->Arg(64)->Arg(1500);
#endif

// ---- Shared pieces of the placement figures ---------------------------

// A UDP socket bound to 127.0.0.x:port (port 0: any); -1 on failure.
int loopSocket(uint32_t lastOctet, uint16_t port, struct sockaddr_in *bound) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return -1;
  struct sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(0x7f000000u | lastOctet);
  a.sin_port = htons(port);
  if (bind(fd, (struct sockaddr *)&a, sizeof a) < 0) {
    close(fd);
    return -1;
  }
  socklen_t len = sizeof a;
  getsockname(fd, (struct sockaddr *)&a, &len);
  if (bound != nullptr) *bound = a;
  return fd;
}

// The log goes to /dev/null while a benchmark runs, whatever a lookup or a
// responder has to say.
struct QuietLog {
  int saved = dup(2);
  QuietLog() {
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
      dup2(null, 2);
      close(null);
    }
  }
  ~QuietLog() {
    dup2(saved, 2);
    close(saved);
  }
};

// A private copy of the session directories holding one token file, and a
// group secret beside them (root's, mode 0600, as the manager demands).
struct BenchDirs {
  std::string root;
  BenchDirs() {
    char tmpl[] = "/tmp/gm-bench-XXXXXX";
    root = mkdtemp(tmpl);
    for (const char *d : {"/ctokens", "/itokens", "/displays", "/idle"})
      mkdir((root + d).c_str(), 0700);
    FILE *f = fopen((root + "/ctokens/ct1").c_str(), "w");
    if (f != nullptr) {
      fputs("USER=bench\nDISPLAY=7\n", f);
      fclose(f);
    }
    int fd = open((root + "/secret").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd >= 0) {
      const char key[] = "a group secret of the benchmark, 48 bytes long.\n";
      ssize_t w = write(fd, key, sizeof key - 1);
      (void)w;
      close(fd);
    }
  }
  ~BenchDirs() {
    unlink((root + "/ctokens/ct1").c_str());
    unlink((root + "/secret").c_str());
    for (const char *d : {"/ctokens", "/itokens", "/displays", "/idle", ""})
      rmdir((root + d).c_str());
  }
  std::string path(const char *d) const { return root + d; }
};

// Loads the benchmark's secret when on is set (signing on), drops it when
// the scope ends. False when the secret could not be loaded.
struct Secret {
  explicit Secret(bool on, const BenchDirs &dirs) {
    resetSignature();
    if (on) {
      QuietLog quiet;
      initSignature(dirs.path("/secret").c_str());
    }
  }
  ~Secret() { resetSignature(); }
  static bool loaded() {
    char probe[GM_BUFSIZE] = "probe\n";
    addSignature(probe);
    return strstr(probe, "#sig=") != nullptr;
  }
};

// ---- The responder ----------------------------------------------------

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// One tokenQ datagram in, one tokenR datagram out, paired with the bare
// responder's answer in alternating order. The library takes the query as its
// loop does (waitOnGroupSocket on a blocking socket), the bare responder with
// recvfrom. range(0) 1: the token has a session file, 0: it is missing;
// range(1) 1: a secret is loaded. The Time column is the library's; the
// counters give the medians of both.
void BM_TokenResponder(benchmark::State &state) {
  BenchDirs dirs;
  std::string ct = dirs.path("/ctokens"), it = dirs.path("/itokens"),
              disp = dirs.path("/displays"), idle = dirs.path("/idle");
  gm_sessdirs saved = gmSessionDirs;
  gmSessionDirs = {ct.c_str(), it.c_str(), disp.c_str(), idle.c_str()};
  Secret secret(state.range(1) != 0, dirs);
  if (state.range(1) != 0 && !Secret::loaded()) {
    state.SkipWithError("the secret did not load (needs root)");
    gmSessionDirs = saved;
    return;
  }

  struct sockaddr_in from, to;
  int resp = loopSocket(1, 0, &to);
  int client = loopSocket(1, 0, &from);
  if (resp < 0 || client < 0) {
    state.SkipWithError("no loopback socket");
    return;
  }
  bool file = state.range(0) != 0;
  char query[GM_TOKENQ_BUF];
  tokenQCompose(query, sizeof query, file ? "ct1" : "nope", "it1", htonl(0x7f000001u), 0);
  addSignature(query);
  size_t qlen = strlen(query);
  char reply[GM_TOKENR_BUF];
  QuietLog quiet;
  installResponders();  // as groupManager does before its loop
  struct pollfd group = {resp, POLLIN, 0};
  int armed = -1;
  auto ask = [&] { sendto(client, query, qlen, 0, (struct sockaddr *)&to, sizeof to); };
  auto library = [&] {
    ask();
    waitOnGroupSocket(&group, 1000, &armed);
    ssize_t n = recv(client, reply, sizeof reply, 0);
    benchmark::DoNotOptimize(n);
  };
  // The floor: the same file, socket and signature work done straight
  // through (bare.c), on the same query.
  const bare_dirs bd = {ct.c_str(), it.c_str(), disp.c_str(), idle.c_str()};
  char bareIn[GM_BUFSIZE];
  auto bare = [&] {
    ask();
    struct sockaddr_in sender;
    socklen_t sl = sizeof sender;
    ssize_t got = recvfrom(resp, bareIn, sizeof bareIn - 1, 0, (struct sockaddr *)&sender, &sl);
    if (got >= 0) bare_answer(resp, &sender, bareIn, (int)got, &bd);
    ssize_t n = recv(client, reply, sizeof reply, 0);
    benchmark::DoNotOptimize(n);
  };
  std::vector<double> tLib, tBare;
  using clock = std::chrono::steady_clock;
  for (auto _ : state) {
    bool libFirst = tLib.size() % 2 == 0;
    auto t0 = clock::now();
    if (libFirst) library(); else bare();
    auto t1 = clock::now();
    if (libFirst) bare(); else library();
    auto t2 = clock::now();
    double first = std::chrono::duration<double>(t1 - t0).count();
    double second = std::chrono::duration<double>(t2 - t1).count();
    tLib.push_back(libFirst ? first : second);
    tBare.push_back(libFirst ? second : first);
    state.SetIterationTime(tLib.back());
  }
  double ml = median(tLib), mb = median(tBare);
  state.counters["answers_per_s"] = ml > 0 ? 1 / ml : 0;
  state.counters["bare_per_s"] = mb > 0 ? 1 / mb : 0;
  state.counters["answers_per_bare"] = ml > 0 ? mb / ml : 0;
  close(resp);
  close(client);
  gmSessionDirs = saved;
}
BENCHMARK(BM_TokenResponder)
    ->ArgNames({"file", "secret"})
    ->ArgsProduct({{1, 0}, {0, 1}})
    ->UseManualTime();

// ---- The lookup and its bare fan-out ----------------------------------

// Members that answer every token query at once, each on its own loopback
// address, all on one port, served by one thread. Replies are signed when a
// secret is loaded, with the library's own signature code.
struct FakeGroup {
  std::vector<int> fds;
  uint16_t port = 0;
  std::atomic<bool> stop{false};
  std::thread server;

  bool start(int members) {
    struct sockaddr_in a;
    int first = loopSocket(1, 0, &a);
    if (first < 0) return false;
    fds.push_back(first);
    port = ntohs(a.sin_port);
    for (int i = 1; i < members; i++) {
      int fd = loopSocket((uint32_t)(1 + i), port, nullptr);
      if (fd < 0) return false;
      fds.push_back(fd);
    }
    server = std::thread([this] { serve(); });
    return true;
  }

  void serve() {
    std::vector<struct pollfd> pfds(fds.size());
    for (size_t i = 0; i < fds.size(); i++) pfds[i] = {fds[i], POLLIN, 0};
    char in[512], out[GM_TOKENR_BUF];
    char *keys[GM_MAXPAIRS + 1];
    char *vals[GM_MAXPAIRS];
    while (!stop.load()) {
      if (poll(pfds.data(), pfds.size(), 50) <= 0) continue;
      for (auto &p : pfds) {
        if (!(p.revents & POLLIN)) continue;
        struct sockaddr_in from;
        socklen_t flen = sizeof from;
        ssize_t n = recvfrom(p.fd, in, sizeof in - 1, 0, (struct sockaddr *)&from, &flen);
        if (n <= 0) continue;
        in[n] = '\0';
        int np = mkKeyPairs(in, keys, vals, GM_MAXPAIRS);
        if (np < 1 || strcmp(keys[0], "tokenQ") != 0) continue;
        const char *at = "", *hostix = "", *ctoken = "";
        for (int k = 1; k < np; k++) {
          if (strcmp(keys[k], "at") == 0) at = vals[k];
          if (strcmp(keys[k], "hostix") == 0) hostix = vals[k];
          if (strcmp(keys[k], "ctoken") == 0) ctoken = vals[k];
        }
        int len = snprintf(out, sizeof out, GM_TOKENR_FMT, vals[0], at, hostix,
                           -1, -1, 0.5, 3, 1);
        if (len <= 0 || (size_t)len >= sizeof out) continue;
        snprintf(out + len - 1, sizeof out - (size_t)len + 1, GM_TOKENR_CTOKEN_FMT,
                 ctoken);
        addSignature(out);
        sendto(p.fd, out, strlen(out), 0, (struct sockaddr *)&from, flen);
      }
    }
  }

  ~FakeGroup() {
    stop = true;
    if (server.joinable()) server.join();
    for (int fd : fds) close(fd);
  }
};

// The group table: this server on 127.0.0.1 and members - 1 peers on
// 127.0.0.2 and up, all trusted and heard just now.
void buildTable(int members) {
  time_t now = gmSys.now();
  auto setIf = [now](interface *ifp, uint32_t lastOctet) {
    memset(ifp, 0, sizeof *ifp);
    snprintf(ifp->name, sizeof ifp->name, "lo");
    ifp->lastpkt = now;
    ifp->myAddr.sin_family = AF_INET;
    ifp->myAddr.sin_addr.s_addr = htonl(0x7f000000u | lastOctet);
    ifp->myAddr.sin_port = htons((uint16_t)params.gmport);
    ifp->netmask.sin_addr.s_addr = htonl(0xff000000u);
  };
  ZV_MUTEX_LOCK(&gmLock);
  memset(&myhost, 0, sizeof myhost);
  snprintf(myhost.name, sizeof myhost.name, "bench0");
  myhost.flags = TRUSTED;
  myhost.period = 20;
  myhost.numifs = 1;
  myhost.hostifs = (interface *)malloc(sizeof(interface));
  setIf(myhost.hostifs, 1);
  myhost.hostAddr = myhost.hostifs[0].myAddr.sin_addr;
  hostList[0] = &myhost;
  for (int i = 1; i < members; i++) {
    host *h = (host *)calloc(1, sizeof(host));
    snprintf(h->name, sizeof h->name, "bench%d", i);
    h->flags = TRUSTED;
    h->period = 20;
    h->numifs = 1;
    h->hostifs = (interface *)malloc(sizeof(interface));
    setIf(h->hostifs, (uint32_t)(1 + i));
    h->hostAddr = h->hostifs[0].myAddr.sin_addr;
    h->load = -1.0f;
    h->sessions = h->idles = -1;
    hostList[i] = h;
  }
  numhosts = members;
  ZV_MUTEX_UNLOCK(&gmLock);
}

void clearTable() {
  ZV_MUTEX_LOCK(&gmLock);
  for (int i = 1; i < GM_HOSTSLOTS; i++) {
    if (hostList[i] == nullptr) continue;
    free(hostList[i]->hostifs);
    free(hostList[i]);
    hostList[i] = nullptr;
  }
  free(myhost.hostifs);
  memset(&myhost, 0, sizeof myhost);
  hostList[0] = nullptr;
  numhosts = 0;
  ZV_MUTEX_UNLOCK(&gmLock);
}

// A group of range(0) members answering "no session", a secret loaded when
// range(1) is 1: the set-up both lookup figures share.
struct LookupBench {
  BenchDirs dirs;
  Secret secret;
  FakeGroup group;
  bool ok = false;
  LookupBench(benchmark::State &state) : secret(state.range(1) != 0, dirs) {
    if (state.range(1) != 0 && !Secret::loaded()) {
      state.SkipWithError("the secret did not load (needs root)");
      return;
    }
    if (!group.start((int)state.range(0))) {
      state.SkipWithError("cannot bind the loopback members");
      return;
    }
    params.gmport = group.port;
    buildTable((int)state.range(0));
    ok = true;
  }
  ~LookupBench() {
    if (ok) clearTable();
  }
};

// The floor a lookup is measured against: the bare lookup (bare.c), which
// composes, signs and sends the same queries to the same members and reads,
// checks and matches every reply.
struct BareFanout {
  std::vector<uint32_t> to;
  explicit BareFanout(int members) {
    for (int i = 0; i < members; i++) to.push_back(hostList[i]->hostifs[0].myAddr.sin_addr.s_addr);
  }
  void run() {
    uint32_t target = 0;
    int got = bare_lookup(to.data(), (int)to.size(), params.gmport, "ct1", "it1", &target);
    benchmark::DoNotOptimize(got);
  }
};

// One token lookup (every member's interface asked once, every reply read)
// paired with the bare fan-out of the same size: each iteration runs both,
// in alternating order, so that both see the same load of the machine. The
// Time column is the lookup's; the counters give the medians of both and
// their ratio.
void BM_TokenLookup(benchmark::State &state) {
  LookupBench b(state);
  if (!b.ok) return;
  int members = (int)state.range(0);
  BareFanout bare(members);
  std::vector<double> tBare, tLookup;
  char list[GM_LISTBUF];
  auto lookup = [&] {
    list[0] = '\0';
    uint32_t target = 0;
    int rc = collectSessions("ct1", "it1", "", GM_LOOKUP_PASSES, &target, list, sizeof list);
    benchmark::DoNotOptimize(rc);
  };
  using clock = std::chrono::steady_clock;
  for (auto _ : state) {
    bool lookupFirst = tLookup.size() % 2 == 1;
    auto t0 = clock::now();
    if (lookupFirst) lookup(); else bare.run();
    auto t1 = clock::now();
    if (lookupFirst) bare.run(); else lookup();
    auto t2 = clock::now();
    double first = std::chrono::duration<double>(t1 - t0).count();
    double second = std::chrono::duration<double>(t2 - t1).count();
    tLookup.push_back(lookupFirst ? first : second);
    tBare.push_back(lookupFirst ? second : first);
    state.SetIterationTime(tLookup.back());
  }
  double mb = median(tBare) * 1e6, ml = median(tLookup) * 1e6;
  state.counters["bare_us"] = mb;
  state.counters["lookup_us"] = ml;
  state.counters["us_per_member"] = ml / members;
  state.counters["lookup_per_bare"] = mb > 0 ? ml / mb : 0;
}
BENCHMARK(BM_TokenLookup)
    ->ArgNames({"members", "secret"})
    ->ArgsProduct({{1, 8, MAXHOSTS}, {0, 1}})
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

// ---- An idle manager --------------------------------------------------

// Voluntary context switches of a process so far (its main thread), -1
// when /proc does not tell.
long voluntarySwitches(pid_t pid) {
  char path[64];
  snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
  FILE *f = fopen(path, "r");
  if (f == nullptr) return -1;
  char line[256];
  long n = -1;
  while (fgets(line, sizeof line, f) != nullptr)
    if (sscanf(line, "voluntary_ctxt_switches: %ld", &n) == 1) break;
  fclose(f);
  return n;
}

// The manager with a keep-alive interval of one second, run in a child
// process so that its state never meets the other figures; the child is
// this benchmark's and is ended by its pid. Its main thread is the manager
// thread: the voluntary switches it makes over range(0) intervals, once it
// has settled, are its wake-ups. range(1) 0: group networking off (nothing
// is sent); 1: on, multicast to the group, inside a testbed server only.
void BM_IdleManagerWakeups(benchmark::State &state) {
  int intervals = (int)state.range(0);
  bool group = state.range(1) != 0;
  if (group && !insideTestbedServer()) {
    state.SkipWithError("group networking on runs only inside a testbed server");
    return;
  }
  for (auto _ : state) {
    pid_t child = fork();
    if (child == 0) {
      int null = open("/dev/null", O_WRONLY);
      if (null >= 0) dup2(null, 2);
      gm_params p = {};
      p.enableGM = group ? 1 : 0;
      p.use_multicast = 1;
      p.mcaddr = GM_DEFAULT_GROUP;
      p.keepAliveInterval = 1;
      p.gmport = GM_DEFAULT_PORT;
      p.sigfile = "";
      char err[128];
      groupManager(p, err);
      _exit(1);  // start-up failed
    }
    if (child < 0) {
      state.SkipWithError("fork failed");
      return;
    }
    usleep(1500 * 1000);  // start-up and the first refreshes
    long before = voluntarySwitches(child);
    usleep((useconds_t)intervals * 1000 * 1000);
    long after = voluntarySwitches(child);
    int status = 0;
    bool ran = waitpid(child, &status, WNOHANG) == 0;
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    if (!ran || before < 0 || after < 0) {
      state.SkipWithError("the manager did not start (host name unresolved?)");
      return;
    }
    state.counters["wakeups_per_interval"] = (double)(after - before) / intervals;
  }
}

// ---- Ratios -----------------------------------------------------------

// Prints what the console reporter prints, keeps the median real time per
// iteration of every benchmark, and prints the ratios of the same run.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs) {
      if (r.error_occurred || r.iterations <= 0) continue;
      double seconds = r.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
      // With repetitions the median comes after the runs and wins; when only
      // aggregates are reported it is all there is.
      bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      double cpu = r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
      if (r.run_type == Run::RT_Iteration) {
        times_[r.run_name.str()].push_back(seconds);
        cpuTimes_[r.run_name.str()].push_back(cpu);
      }
      if (median) {
        medians_[r.run_name.str()] = seconds;
        cpuMedians_[r.run_name.str()] = cpu;
      }
      if (r.run_type != Run::RT_Iteration && !median) continue;
      auto c = r.counters.find("lookup_per_bare");
      if (c != r.counters.end()) pairs_[r.run_name.str()] = c->second;
      c = r.counters.find("answers_per_bare");
      if (c != r.counters.end()) answers_[r.run_name.str()] = c->second;
      c = r.counters.find("wakeups_per_interval");
      if (c != r.counters.end()) wakeups_[r.run_name.str()] = c->second;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void printRatios() {
    printf("\nRatios of this run (medians of the repetitions):\n");
    for (int bytes : {64, 1500}) {
      std::string b = std::to_string(bytes);
      ratio("SHA-1 extensions vs libcrypto, speed", "BM_Sha1OpenSSL/bytes:" + b,
            "BM_Sha1/path:1/bytes:" + b, bytes, "goal >= 0.9 at 1500");
      ratio("SHA-1 extensions vs libcrypto reused, speed", "BM_Sha1OpenSSLReused/bytes:" + b,
            "BM_Sha1/path:1/bytes:" + b, bytes, "goal >= 0.9 at 1500");
      ratio("SHA-1 portable vs before, speed", "BM_Sha1Before/bytes:" + b,
            "BM_Sha1/path:0/bytes:" + b, bytes, "goal >= 3");
    }
    for (int members : {1, 8, MAXHOSTS})
      for (int secret : {0, 1}) {
        std::string name = "BM_TokenLookup/members:" + std::to_string(members) +
                           "/secret:" + std::to_string(secret) + "/manual_time";
        auto it = pairs_.find(name);
        if (it == pairs_.end()) continue;
        printf("  %-44s %-42s %6.2fx  %s\n", "lookup vs bare fan-out, time", name.c_str(),
               it->second, members == 8 ? "goal <= 1.3" : "");
      }
    for (int file : {1, 0})
    for (int secret : {0, 1}) {
      std::string name = "BM_TokenResponder/file:" + std::to_string(file) +
                         "/secret:" + std::to_string(secret) + "/manual_time";
      auto it = answers_.find(name);
      if (it != answers_.end())
        printf("  %-44s %-42s %6.2fx  %s\n", "responder vs bare responder, answers/s",
               name.c_str(), it->second, "goal >= 0.95");
    }
    for (const auto &w : wakeups_)
      printf("  %-44s %-42s %6.2f   %s\n", "idle manager, wake-ups per interval", w.first.c_str(),
             w.second, "1: the refresh alone");
  }

 private:
  std::map<std::string, std::vector<double>> times_;
  std::map<std::string, double> medians_;
  std::map<std::string, std::vector<double>> cpuTimes_;
  std::map<std::string, double> cpuMedians_;
  std::map<std::string, double> pairs_;    // lookup_per_bare (median)
  std::map<std::string, double> answers_;  // answers_per_bare (median)
  std::map<std::string, double> wakeups_;  // wakeups_per_interval

  double median(const std::string &name, bool cpu) {
    auto &meds = cpu ? cpuMedians_ : medians_;
    auto &all = cpu ? cpuTimes_ : times_;
    auto m = meds.find(name);
    if (m != meds.end()) return m->second;
    auto it = all.find(name);
    if (it == all.end() || it->second.empty()) return -1;
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }
  // Speed ratios (bytes > 0) are base time / candidate time, in CPU time,
  // as a digest only computes; time ratios candidate / base in real time.
  void ratio(const char *what, const std::string &base, const std::string &cand,
             int bytes, const char *goal) {
    double tb = median(base, bytes > 0), tc = median(cand, bytes > 0);
    if (tb <= 0 || tc <= 0) return;
    double r = bytes > 0 ? tb / tc : tc / tb;
    printf("  %-44s %-42s %6.2fx  %s\n", what, cand.c_str(), r, goal);
  }
};

}  // namespace

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  // A manager with group networking on only when asked for, and then only
  // inside a testbed server (the benchmark checks the addresses it sees).
  for (int group = 0; group <= (getenv("GM_BENCH_GROUP") != nullptr ? 1 : 0); group++)
    benchmark::RegisterBenchmark("BM_IdleManagerWakeups", BM_IdleManagerWakeups)
        ->ArgNames({"intervals", "group"})
        ->Args({4, group})
        ->Iterations(1)
        ->UseRealTime()
        ->Unit(benchmark::kSecond);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatios();
  benchmark::Shutdown();
  return 0;
}
