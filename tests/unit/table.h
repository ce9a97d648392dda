// table.h - the group table as the tests build it, shared by the unit tests
// and the fuzz targets (no test framework here): records, interfaces, a
// scratch directory and files in it.
#ifndef ZVGM_TABLE_H
#define ZVGM_TABLE_H

#include <arpa/inet.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "group/group.h"

// Dotted text to network-order address.
inline uint32_t ip(const char *dotted) { return inet_addr(dotted); }

// A socket bound to a loopback address and port (network order; 0: an
// ephemeral one), without SO_REUSEADDR; *addr gets the bound address.
inline int loopbackSocket(int type = SOCK_DGRAM, sockaddr_in *addr = nullptr, const char *at = "127.0.0.1",
                          uint16_t port = 0) {
  int fd = socket(AF_INET, type, 0);
  sockaddr_in a = {AF_INET, port, {ip(at)}, {}};
  socklen_t len = sizeof a;
  if (bind(fd, (sockaddr *)&a, sizeof a) != 0 || getsockname(fd, (sockaddr *)&a, &len) != 0)
    abort();  // no loopback: nothing in these tests can run
  if (addr != nullptr) *addr = a;
  return fd;
}

// Frees every peer record and the local host's interfaces, empties the
// table and forgets what was heard. The caller holds gmLock where another
// thread may look.
inline void clearGroupTable() {
  for (int i = 1; i < GM_HOSTSLOTS; i++)
    if (hostList[i] != nullptr) free(hostList[i]->hostifs), free(hostList[i]), hostList[i] = nullptr;
  free(myhost.hostifs), memset(&myhost, 0, sizeof myhost), hostList[0] = nullptr, numhosts = 0;
  forgetAnnouncements();
}

// An interface record with dotted address and mask, port gmport.
inline interface makeIf(const char *name, const char *addr, const char *mask, int flags = LAN,
                        time_t lastpkt = 0) {
  interface i = {};
  snprintf(i.name, sizeof i.name, "%s", name);
  uint16_t port = htons((uint16_t)params.gmport);
  i.myAddr = {AF_INET, port, {ip(addr)}, {}};
  i.bcastAddr = {AF_INET, port, {ip(addr) | ~ip(mask)}, {}};
  i.netmask.sin_addr.s_addr = ip(mask), i.flags = flags, i.lastpkt = lastpkt;
  return i;
}

// A host record owning a copy of ifs, appended to the table; the first one
// added to an empty table becomes the local host in slot 0.
inline host *addHost(const char *name, const char *addr, int flags, std::vector<interface> ifs = {}) {
  host *h = numhosts == 0 ? &myhost : (host *)calloc(1, sizeof(host));
  free(h->hostifs), memset(h, 0, sizeof *h);
  snprintf(h->name, sizeof h->name, "%s", name);
  h->hostAddr.s_addr = ip(addr);
  h->flags = flags, h->period = 20, h->numcpus = 1, h->meanclock = 200;
  h->load = -1.0f, h->sessions = h->idles = -1;
  size_t n = sizeof(interface) * (h->numifs = (int)ifs.size());
  if (n > 0) h->hostifs = (interface *)memcpy(malloc(n), ifs.data(), n);
  return hostList[numhosts++] = h;
}

// A new directory under base (/dev/shm: in memory), else under /tmp,
// removed with all it holds when this ends.
struct TempDir {
  std::string path;
  explicit TempDir(const std::string &base = "/tmp") : path(base + "/zvgm-test-XXXXXX") {
    if (mkdtemp(path.data()) == nullptr && mkdtemp((path = "/tmp/zvgm-test-XXXXXX").data()) == nullptr) abort();
  }
  ~TempDir() { std::error_code ec; std::filesystem::remove_all(path, ec); }
};

// Writes text to path; a nonzero mtime becomes its access and modification time.
inline void put(const std::string &path, const std::string &text = "", time_t mtime = 0) {
  std::ofstream(path) << text;
  timespec t[2] = {{mtime, 0}, {mtime, 0}};
  if (mtime != 0) utimensat(AT_FDCWD, path.c_str(), t, 0);
}

#endif
