// testutil.cc - helpers shared by the unit tests.
#include "testutil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

void resetGroupState() {
  ZV_MUTEX_LOCK(&gmLock);
  for (int i = 1; i < GM_HOSTSLOTS; i++) {
    if (hostList[i] != nullptr) {
      free(hostList[i]->hostifs);
      free(hostList[i]);
      hostList[i] = nullptr;
    }
  }
  free(myhost.hostifs);
  memset(&myhost, 0, sizeof myhost);
  memset(&params, 0, sizeof params);
  hostList[0] = nullptr;
  numhosts = 0;
  ZV_MUTEX_UNLOCK(&gmLock);
}

LogCapture::LogCapture() {
  char tmpl[] = "/tmp/zvgm-log-XXXXXX";
  fd_ = mkstemp(tmpl);
  path_ = tmpl;
  saved_ = dup(2);
  dup2(fd_, 2);
}

LogCapture::~LogCapture() {
  dup2(saved_, 2);
  close(saved_);
  close(fd_);
  unlink(path_.c_str());
}

std::string LogCapture::text() {
  std::string out;
  char buf[4096];
  off_t off = 0;
  ssize_t n;
  while ((n = pread(fd_, buf, sizeof buf, off)) > 0) {
    out.append(buf, (size_t)n);
    off += n;
  }
  return out;
}

uint32_t ip(const char *dotted) { return inet_addr(dotted); }

interface makeIf(const char *name, const char *addr, const char *mask,
                 int flags, time_t lastpkt) {
  interface i;
  memset(&i, 0, sizeof i);
  strncpy(i.name, name, sizeof i.name - 1);
  i.myAddr.sin_family = AF_INET;
  i.myAddr.sin_addr.s_addr = ip(addr);
  i.myAddr.sin_port = htons((uint16_t)params.gmport);
  i.netmask.sin_addr.s_addr = ip(mask);
  i.bcastAddr.sin_family = AF_INET;
  i.bcastAddr.sin_addr.s_addr = ip(addr) | ~ip(mask);
  i.bcastAddr.sin_port = htons((uint16_t)params.gmport);
  i.flags = flags;
  i.lastpkt = lastpkt;
  return i;
}

host *makeHost(const char *name, const char *addr, int flags,
               const interface *ifs, int numifs) {
  host *h = (host *)calloc(1, sizeof(host));
  strncpy(h->name, name, sizeof h->name - 1);
  h->hostAddr.s_addr = ip(addr);
  h->flags = flags;
  h->period = 20;
  h->numcpus = 1;
  h->meanclock = 200;
  h->load = -1.0f;
  h->sessions = -1;
  h->idles = -1;
  h->numifs = numifs;
  if (numifs > 0) {
    h->hostifs = (interface *)malloc(sizeof(interface) * (size_t)numifs);
    memcpy(h->hostifs, ifs, sizeof(interface) * (size_t)numifs);
  }
  return h;
}
