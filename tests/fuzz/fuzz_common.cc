// fuzz_common.cc - the fuzz targets' shared set-up: a group table, loopback
// sockets, a fake clock, the secret, and the checks every target runs after
// each input. Nothing here sends outside 127.0.0.0/8.
#include "fuzz_common.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <math.h>
#include <sanitizer/allocator_interface.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "placement/placement.h"
#include "table.h"

namespace {

const char kSelfName[] = "fuzz-self";
const char kFuzzSecret[] = "fuzz seed secret\n";  // the seed captures' (scripts/fuzz-capture.sh)
const int kSinks = 4;

int errfd = 2;        // standard error as it was before libFuzzer closed it
TempDir *tmpdir;      // session directories and the secret file
bool secretOn = false;
int sendSock = -1;
int groupSock = -1;
struct sockaddr_in groupAddr;
int sinks[kSinks];
uint16_t sinkPort;    // network order
std::vector<interface> selfIfs;

// The fields an announcement would have left in a record that addHost made.
void setHost(host *h, int clock, float load) {
  h->lastseen = kFuzzStart, h->starttime = kFuzzStart - 100;
  h->numcpus = 2, h->meanclock = clock, h->load = load, h->sessions = 1, h->idles = 0;
  for (interface *ifp = h->hostifs; ifp < h->hostifs + h->numifs; ifp++) ifp->lastpkt = kFuzzStart;
}

// A peer on 127.0.1.(i + 1); every third one untrusted, every second one
// with a nimbar interface as well.
void fillerPeer(int i) {
  std::string n = std::to_string(i + 1), addr = "127.0.1." + n;
  std::vector<interface> ifs = {makeIf("eth0", addr.c_str(), "255.255.255.0", LAN)};
  if (i % 2 == 0) ifs.push_back(makeIf("eth1", ("127.0.2." + n).c_str(), "255.255.255.0", 0));
  char name[16];
  snprintf(name, sizeof name, "peer%02d", i);
  setHost(addHost(name, addr.c_str(), (i % 3 == 2 ? 0 : TRUSTED) | LAN_OK, ifs), 1000, 0.5f);
}

bool within(const char *field, size_t size) { return memchr(field, '\0', size) != nullptr; }

void checkHost(int slot, const host *h) {
  FUZZ_CHECK(within(h->name, sizeof h->name) && h->name[0] != '\0');
  FUZZ_CHECK(h->numifs >= 0 && h->numifs <= MAXFDS);
  FUZZ_CHECK(h->numifs == 0 || h->hostifs != nullptr);
  if (slot > 0) {
    // A record or array that was freed (a dropped or replaced record still
    // reachable) is no longer owned by the allocator.
    FUZZ_CHECK(__sanitizer_get_ownership(h));
    FUZZ_CHECK(__sanitizer_get_allocated_size(h) >= sizeof(host));
    if (h->hostifs != nullptr) {
      FUZZ_CHECK(__sanitizer_get_ownership(h->hostifs));
      FUZZ_CHECK(__sanitizer_get_allocated_size(h->hostifs) >= (size_t)h->numifs * sizeof(interface));
    }
    FUZZ_CHECK(h->numcpus >= 0 && h->numcpus <= 16384);  // the ranges announcements are
    FUZZ_CHECK(h->meanclock >= 0 && h->meanclock <= 100000);  // clamped into
    FUZZ_CHECK(h->period >= 0);
    FUZZ_CHECK(h->lastseen > 0 && h->lastseen <= fuzzNow);
  }
  FUZZ_CHECK(isfinite(h->load) && h->load >= -1.0f);
  FUZZ_CHECK(h->sessions >= -1 && h->idles >= -1);
  FUZZ_CHECK(h->useifp == nullptr || (h->useifp >= h->hostifs && h->useifp < h->hostifs + h->numifs));
  for (const interface *ifp = h->hostifs; ifp < h->hostifs + h->numifs; ifp++) {
    FUZZ_CHECK(within(ifp->name, sizeof ifp->name));
    FUZZ_CHECK(ifp->tqTimedout == 0 || ifp->tqTimedout == 1);
    FUZZ_CHECK(ifp->lastpkt >= 0 && ifp->lastpkt <= fuzzNow);
  }
}

}  // namespace

const char kSeparator[] = "\xfe\xff";
time_t fuzzNow = kFuzzStart;

void fuzzFail(const char *what) {
  dprintf(errfd, "fuzz invariant broken: %s\n", what);
  __builtin_trap();
}

bool splitInput(const uint8_t *data, size_t size, FuzzInput *in) {
  if (size < 2) return false;
  in->ctl = data[0];
  // Mostly a few peers, which is cheap; now and then a table at or next to
  // its limit.
  in->fill = data[1] < 224 ? data[1] % 8 : MAXHOSTS - 1 - data[1] % 4;
  in->grams.clear();
  std::string rest((const char *)data + 2, size - 2);
  for (size_t at = 0, sep = 0; sep != std::string::npos; at = sep + 2) {
    sep = rest.find(kSeparator, at, 2);
    in->grams.push_back(rest.substr(at, sep == std::string::npos ? sep : sep - at));
  }
  return true;
}

void fuzzSecret(bool on) {
  if (on != secretOn && on) initSignature(fuzzPath("secret").c_str());
  if (on != secretOn && !on) resetSignature();
  secretOn = on;
}

// Once per process: temp directory, session directories with a live and an
// idle session, loopback sockets, fake clock, the local host.
extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  errfd = dup(2);
  // In memory where there is a tmpfs for it: some targets write a file per
  // input.
  static TempDir dir("/dev/shm");
  tmpdir = &dir;
  static std::string d[4] = {fuzzPath("ctokens"), fuzzPath("itokens"), fuzzPath("displays"), fuzzPath("idle")};
  for (const std::string &s : d) mkdir(s.c_str(), 0755);
  gmSessionDirs = {d[0].c_str(), d[1].c_str(), d[2].c_str(), d[3].c_str()};
  // The sessions of the seed captures: live on display 3, idle on 4.
  const std::pair<std::string, const char *> files[] = {
      {d[0] + "/c-seed", "USER=u3\nDISPLAY=3\n"}, {d[1] + "/i-seed", "USER=u3\nDISPLAY=3\n"},
      {d[0] + "/c-idle", "USER=u4\nDISPLAY=4\n"}, {d[2] + "/3", ""}, {d[2] + "/4", ""},
      {d[3] + "/4.pid", "1\n"}, {fuzzPath("secret"), kFuzzSecret}};
  for (auto &[path, text] : files) std::ofstream(path) << text;
  chmod(fuzzPath("secret").c_str(), 0600);

  struct sockaddr_in sa;
  sinks[0] = loopbackSocket(SOCK_DGRAM, &sa);
  sinkPort = sa.sin_port;
  for (int i = 1; i < kSinks; i++)
    sinks[i] = loopbackSocket(SOCK_DGRAM, nullptr, ("127.0.0." + std::to_string(i + 1)).c_str(), sinkPort);
  sendSock = loopbackSocket();
  groupSock = loopbackSocket(SOCK_DGRAM, &groupAddr);
  for (int fd : {sinks[0], sinks[1], sinks[2], sinks[3], sendSock, groupSock}) fcntl(fd, F_SETFL, O_NONBLOCK);
  installResponders();

  gmSys.now = [] { return fuzzNow; };
  params.gmport = ntohs(sinkPort), params.keepAliveInterval = 20, params.enableGM = 1, params.sigfile = "";
  // The local host: 127.0.0.0/30 holds senders 1 to 3 but not 4. Every
  // interface of the table lies in 127.0.0.0/8, so that a lookup that asks
  // them all stays on loopback.
  selfIfs = {makeIf("lo0", "127.0.0.1", "255.255.255.252", LAN), makeIf("eth0", "127.0.3.1", "255.255.255.0", LAN),
             makeIf("eth1", "127.0.4.1", "255.255.255.0", 0)};
  fuzzReset(0, false);
  return 0;
}

void fuzzReset(int fill, bool lanOk) {
  clearGroupTable();  // what an earlier input left, its trust marks too
  fuzzNow = kFuzzStart;
  setHost(addHost(kSelfName, "127.0.0.1", TRUSTED | (lanOk ? LAN_OK : 0), selfIfs), 2000, 0.1f);
  for (int i = 0; i < fill % MAXHOSTS; i++) fillerPeer(i);
  fuzzDrain();
}

int fuzzSock() { return sendSock; }

int fuzzGroupSock() { return groupSock; }

bool fuzzDeliver(int i, const std::string &gram) {
  return sendto(sinks[i & 3], gram.data(), gram.size(), 0, (const struct sockaddr *)&groupAddr,
                sizeof groupAddr) == (ssize_t)gram.size();
}

std::string fuzzPath(const char *name) { return tmpdir->path + "/" + name; }

void checkLoopbackOnly() {
  for (int i = 0; i < numhosts && i < GM_HOSTSLOTS; i++)
    for (int j = 0; j < hostList[i]->numifs; j++)
      if ((ntohl(hostList[i]->hostifs[j].myAddr.sin_addr.s_addr) >> 24) != 127)
        fuzzFail("an interface of the table lies outside loopback");
}

std::vector<std::string> fuzzDrain() {
  std::vector<std::string> got;
  static char buf[65536];  // static: ASan would poison 64 KiB of stack per call
  ssize_t n;
  for (int i = 0; i < kSinks; i++)
    while ((n = recv(sinks[i], buf, sizeof buf, MSG_DONTWAIT)) >= 0) got.emplace_back(buf, (size_t)n);
  for (int fd : {sendSock, groupSock})
    while (recv(fd, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
    }
  return got;
}

void checkTable() {
  FUZZ_CHECK(numhosts >= 1 && numhosts <= MAXHOSTS);
  FUZZ_CHECK(hostList[0] == &myhost && strcmp(myhost.name, kSelfName) == 0);
  FUZZ_CHECK(myhost.hostAddr.s_addr == ip("127.0.0.1") && myhost.numifs == 3);
  const host *hosts[GM_HOSTSLOTS];
  const void *blocks[2 * GM_HOSTSLOTS];
  int nb = 0;
  for (int i = 0; i < GM_HOSTSLOTS; i++) {
    FUZZ_CHECK((i < numhosts) == (hostList[i] != nullptr));
    if (hostList[i] == nullptr) continue;
    checkHost(i, hostList[i]);
    hosts[i] = hostList[i], blocks[nb++] = hostList[i];
    if (hostList[i]->hostifs != nullptr) blocks[nb++] = hostList[i]->hostifs;
  }
  // No record or interface array in two places, no name twice.
  std::sort(blocks, blocks + nb);
  FUZZ_CHECK(std::adjacent_find(blocks, blocks + nb) == blocks + nb);
  std::sort(hosts, hosts + numhosts, [](const host *a, const host *b) { return strcmp(a->name, b->name) < 0; });
  for (int i = 1; i < numhosts; i++) FUZZ_CHECK(strcmp(hosts[i - 1]->name, hosts[i]->name) != 0);
}

void checkReply(const std::string &r, const char *kind, size_t max, bool sign) {
  FUZZ_CHECK(r.size() <= max && r.size() < GM_BUFSIZE);
  FUZZ_CHECK(r.compare(0, strlen(kind), kind) == 0);
  FUZZ_CHECK(!r.empty() && r.back() == '\n');
  FUZZ_CHECK(r.find('\0') == std::string::npos);
  char buf[GM_BUFSIZE];
  memcpy(buf, r.c_str(), r.size() + 1);
  bool trailer = strstr(buf, "#sig=") != nullptr;
  int ok = chkSignature(buf);
  // Signed when a secret is loaded, and plain otherwise; never a trailer
  // where the reply is not signed.
  FUZZ_CHECK(sign ? ok == 1 : !trailer);
  FUZZ_CHECK(strchr(buf, '\n') == buf + strlen(buf) - 1);  // one line
}
