// fuzz_common.cc - the fuzz targets' shared set-up: a group table, loopback
// sockets, a fake clock, the secret, and the checks every target runs after
// each input. Nothing here sends outside 127.0.0.0/8.
#include "fuzz_common.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <math.h>
#include <sanitizer/allocator_interface.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

namespace {

const char kSelfName[] = "fuzz-self";
const int kSinks = 4;

int errfd = 2;        // standard error as it was before libFuzzer closed it
std::string tmpdir;   // session directories and the secret file
std::string secretPath;
bool secretOn = false;
int sendSock = -1;
int sinks[kSinks];
uint16_t sinkPort;    // network order
interface selfIfs[3];

time_t fakeNow() { return fuzzNow; }

uint32_t ip4(const char *dotted) { return inet_addr(dotted); }

int bindUdp(uint32_t addr, uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) fuzzFail("socket");
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr;
  sa.sin_port = port;
  if (bind(fd, (struct sockaddr *)&sa, sizeof sa) != 0) fuzzFail("bind on loopback");
  fcntl(fd, F_SETFL, O_NONBLOCK);
  return fd;
}

void writeFile(const std::string &path, const char *text, mode_t mode) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0) fuzzFail("temp file");
  if (write(fd, text, strlen(text)) != (ssize_t)strlen(text)) fuzzFail("temp file write");
  close(fd);
}

int removeEntry(const char *path, const struct stat *, int, struct FTW *) {
  return remove(path);
}
void removeTmp() {
  if (!tmpdir.empty()) nftw(tmpdir.c_str(), removeEntry, 8, FTW_DEPTH | FTW_PHYS);
}

void setIf(interface *ifp, const char *name, const char *addr, const char *mask,
           int32_t flags) {
  memset(ifp, 0, sizeof *ifp);
  snprintf(ifp->name, sizeof ifp->name, "%s", name);
  ifp->myAddr.sin_family = AF_INET;
  ifp->myAddr.sin_addr.s_addr = ip4(addr);
  ifp->myAddr.sin_port = sinkPort;
  ifp->netmask.sin_addr.s_addr = ip4(mask);
  ifp->bcastAddr.sin_addr.s_addr = ifp->myAddr.sin_addr.s_addr | ~ip4(mask);
  ifp->flags = flags;
  ifp->lastpkt = kFuzzStart;
}

// A peer as an announcement would have left it, on 127.0.1.(i + 1); every
// third one untrusted, every second one with a nimbar interface as well.
host *fillerPeer(int i) {
  host *h = (host *)calloc(1, sizeof(host));
  int n = i % 2 == 0 ? 2 : 1;
  h->hostifs = (interface *)calloc((size_t)n, sizeof(interface));
  if (h == nullptr || h->hostifs == nullptr) fuzzFail("calloc");
  snprintf(h->name, sizeof h->name, "peer%02d", i);
  char a[32];
  snprintf(a, sizeof a, "127.0.1.%d", i + 1);
  setIf(&h->hostifs[0], "eth0", a, "255.255.255.0", LAN);
  if (n == 2) {
    snprintf(a, sizeof a, "127.0.2.%d", i + 1);
    setIf(&h->hostifs[1], "eth1", a, "255.255.255.0", 0);
  }
  h->numifs = n;
  h->hostAddr.s_addr = h->hostifs[0].myAddr.sin_addr.s_addr;
  h->flags = (i % 3 == 2 ? 0 : TRUSTED) | LAN_OK;
  h->lastseen = kFuzzStart;
  h->period = 20;
  h->starttime = kFuzzStart - 100;
  h->numcpus = 2;
  h->meanclock = 1000;
  h->load = 0.5f;
  h->sessions = 1;
  h->idles = 0;
  return h;
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
      FUZZ_CHECK(__sanitizer_get_allocated_size(h->hostifs) >=
                 (size_t)h->numifs * sizeof(interface));
    }
    FUZZ_CHECK(h->numcpus >= 0 && h->numcpus <= 16384);  // the ranges announcements are
    FUZZ_CHECK(h->meanclock >= 0 && h->meanclock <= 100000);  // clamped into
    FUZZ_CHECK(h->period >= 0);
    FUZZ_CHECK(h->lastseen > 0 && h->lastseen <= fuzzNow);
  }
  FUZZ_CHECK(isfinite(h->load) && h->load >= -1.0f);
  FUZZ_CHECK(h->sessions >= -1 && h->idles >= -1);
  FUZZ_CHECK(h->useifp == nullptr ||
             (h->useifp >= h->hostifs && h->useifp < h->hostifs + h->numifs));
  for (int j = 0; j < h->numifs; j++) {
    const interface *ifp = &h->hostifs[j];
    FUZZ_CHECK(within(ifp->name, sizeof ifp->name));
    FUZZ_CHECK(ifp->tqTimedout == 0 || ifp->tqTimedout == 1);
    FUZZ_CHECK(ifp->lastpkt >= 0 && ifp->lastpkt <= fuzzNow);
  }
}

}  // namespace

const char kSeparator[] = "\xfe\xff";
const char kFuzzSecret[] = "fuzz seed secret\n";
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
  size_t at = 0;
  for (;;) {
    size_t sep = rest.find(kSeparator, at, 2);
    in->grams.push_back(rest.substr(at, sep == std::string::npos ? std::string::npos : sep - at));
    if (sep == std::string::npos) break;
    at = sep + 2;
  }
  return true;
}

void fuzzSecret(bool on) {
  if (on == secretOn) return;
  if (on)
    initSignature(secretPath.c_str());
  else
    resetSignature();
  secretOn = on;
}

bool fuzzSecretLoadable() {
  static int loadable = -1;
  if (loadable < 0) {
    bool was = secretOn;
    fuzzSecret(true);
    char probe[GM_BUFSIZE] = "probe\n";
    addSignature(probe);
    loadable = strstr(probe, "#sig=") != nullptr;
    fuzzSecret(was);
  }
  return loadable == 1;
}

int fuzzInit() {
  errfd = dup(2);
  // In memory where there is a tmpfs for it: some targets write a file per
  // input.
  char dir[] = "/dev/shm/zvgm-fuzz-XXXXXX";
  char dirTmp[] = "/tmp/zvgm-fuzz-XXXXXX";
  if (mkdtemp(dir) == nullptr && mkdtemp(strcpy(dir, dirTmp)) == nullptr) fuzzFail("mkdtemp");
  tmpdir = dir;
  atexit(removeTmp);
  static std::string d[4];
  const char *names[4] = {"ctokens", "itokens", "displays", "idle"};
  for (int i = 0; i < 4; i++) {
    d[i] = tmpdir + "/" + names[i];
    mkdir(d[i].c_str(), 0755);
  }
  gmSessionDirs = {d[0].c_str(), d[1].c_str(), d[2].c_str(), d[3].c_str()};
  // The sessions of the seed captures: live on display 3, idle on 4.
  writeFile(d[0] + "/c-seed", "USER=u3\nDISPLAY=3\n", 0644);
  writeFile(d[1] + "/i-seed", "USER=u3\nDISPLAY=3\n", 0644);
  writeFile(d[0] + "/c-idle", "USER=u4\nDISPLAY=4\n", 0644);
  writeFile(d[2] + "/3", "", 0644);
  writeFile(d[2] + "/4", "", 0644);
  writeFile(d[3] + "/4.pid", "1\n", 0644);
  secretPath = tmpdir + "/secret";
  writeFile(secretPath, kFuzzSecret, 0600);

  sinks[0] = bindUdp(ip4("127.0.0.1"), 0);
  struct sockaddr_in sa;
  socklen_t len = sizeof sa;
  getsockname(sinks[0], (struct sockaddr *)&sa, &len);
  sinkPort = sa.sin_port;
  char a[32];
  for (int i = 1; i < kSinks; i++) {
    snprintf(a, sizeof a, "127.0.0.%d", i + 1);
    sinks[i] = bindUdp(ip4(a), sinkPort);
  }
  sendSock = bindUdp(ip4("127.0.0.1"), 0);

  gmSys.now = fakeNow;
  params.gmport = ntohs(sinkPort);
  params.keepAliveInterval = 20;
  params.enableGM = 1;
  params.sigfile = "";
  // The local host: 127.0.0.0/30 holds senders 1 to 3 but not 4. Every
  // interface of the table lies in 127.0.0.0/8, so that a lookup that asks
  // them all stays on loopback.
  setIf(&selfIfs[0], "lo0", "127.0.0.1", "255.255.255.252", LAN);
  setIf(&selfIfs[1], "eth0", "127.0.3.1", "255.255.255.0", LAN);
  setIf(&selfIfs[2], "eth1", "127.0.4.1", "255.255.255.0", 0);
  fuzzReset(0, false);
  return 0;
}

void fuzzReset(int fill, bool lanOk) {
  for (int i = 1; i < GM_HOSTSLOTS; i++) {
    if (hostList[i] != nullptr) {
      free(hostList[i]->hostifs);
      free(hostList[i]);
      hostList[i] = nullptr;
    }
  }
  fuzzNow = kFuzzStart;
  static interface ifs[3];
  memcpy(ifs, selfIfs, sizeof ifs);
  memset(&myhost, 0, sizeof myhost);
  snprintf(myhost.name, sizeof myhost.name, "%s", kSelfName);
  myhost.hostAddr.s_addr = ip4("127.0.0.1");
  myhost.flags = TRUSTED | (lanOk ? LAN_OK : 0);
  myhost.numifs = 3;
  myhost.hostifs = ifs;
  myhost.lastseen = kFuzzStart;
  myhost.period = 20;
  myhost.starttime = kFuzzStart - 100;
  myhost.numcpus = 2;
  myhost.meanclock = 2000;
  myhost.load = 0.1f;
  myhost.sessions = 1;
  myhost.idles = 0;
  hostList[0] = &myhost;
  numhosts = 1;
  fill %= MAXHOSTS;
  memset(hostSlotTrusted, 0, sizeof hostSlotTrusted);
  for (int i = 0; i < fill; i++) {
    host *h = fillerPeer(i);
    hostSlotTrusted[numhosts] = (h->flags & TRUSTED) != 0;
    hostList[numhosts++] = h;
  }
  fuzzDrain();
}

struct sockaddr_in fuzzFrom(int i) {
  struct sockaddr_in sa;
  memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  char a[32];
  snprintf(a, sizeof a, "127.0.0.%d", (i & 3) + 1);
  sa.sin_addr.s_addr = ip4(a);
  sa.sin_port = sinkPort;
  return sa;
}

int fuzzSock() { return sendSock; }

std::string fuzzPath(const char *name) { return tmpdir + "/" + name; }

void checkLoopbackOnly() {
  for (int i = 0; i < numhosts && i < GM_HOSTSLOTS; i++)
    for (int j = 0; j < hostList[i]->numifs; j++)
      if ((ntohl(hostList[i]->hostifs[j].myAddr.sin_addr.s_addr) >> 24) != 127)
        fuzzFail("an interface of the table lies outside loopback");
}

std::vector<std::string> fuzzDrain() {
  std::vector<std::string> got;
  static char buf[65536];  // static: ASan would poison 64 KiB of stack per call
  for (int i = 0; i < kSinks; i++) {
    ssize_t n;
    while ((n = recv(sinks[i], buf, sizeof buf, MSG_DONTWAIT)) >= 0)
      got.emplace_back(buf, (size_t)n);
  }
  while (recv(sendSock, buf, sizeof buf, MSG_DONTWAIT) >= 0) {
  }
  return got;
}

void checkTable() {
  FUZZ_CHECK(numhosts >= 1 && numhosts <= MAXHOSTS);
  FUZZ_CHECK(hostList[0] == &myhost);
  FUZZ_CHECK(strcmp(myhost.name, kSelfName) == 0);
  FUZZ_CHECK(myhost.hostAddr.s_addr == ip4("127.0.0.1"));
  FUZZ_CHECK(myhost.numifs == 3);
  const host *hosts[GM_HOSTSLOTS];
  const void *blocks[2 * GM_HOSTSLOTS];
  int nb = 0;
  for (int i = 0; i < GM_HOSTSLOTS; i++) {
    FUZZ_CHECK((i < numhosts) == (hostList[i] != nullptr));
    if (hostList[i] == nullptr) continue;
    checkHost(i, hostList[i]);
    // A slot that a lookup may hold (its record trusted) is never given away.
    FUZZ_CHECK(i == 0 || !(hostList[i]->flags & TRUSTED) || hostSlotTrusted[i]);
    hosts[i] = hostList[i];
    blocks[nb++] = hostList[i];
    if (hostList[i]->hostifs != nullptr) blocks[nb++] = hostList[i]->hostifs;
  }
  // No record or interface array in two places, no name twice.
  std::sort(blocks, blocks + nb);
  FUZZ_CHECK(std::adjacent_find(blocks, blocks + nb) == blocks + nb);
  std::sort(hosts, hosts + numhosts,
            [](const host *a, const host *b) { return strcmp(a->name, b->name) < 0; });
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
  if (sign)
    FUZZ_CHECK(ok == 1);  // signed when a secret is loaded, and plain otherwise
  else
    FUZZ_CHECK(!trailer);
  FUZZ_CHECK(strchr(buf, '\n') == buf + strlen(buf) - 1);  // one line
}

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return fuzzInit(); }
