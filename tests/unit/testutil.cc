// testutil.cc - helpers shared by the unit tests.
#include "testutil.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

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

std::string LogCapture::text() { return slurp(path_); }

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

void setMyhost(host *h) {
  free(myhost.hostifs);
  myhost = *h;
  free(h);
  hostList[0] = &myhost;
  if (numhosts < 1) numhosts = 1;
}

int loopbackSocket(int type, sockaddr_in *addr) {
  int fd = socket(AF_INET, type, 0);
  sockaddr_in a = {};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  if (bind(fd, (sockaddr *)&a, sizeof a) != 0 || getsockname(fd, (sockaddr *)&a, &len) != 0)
    abort();  // no loopback: nothing in these tests can run
  if (addr != nullptr) *addr = a;
  return fd;
}

std::string writeTemp(const std::string &text, mode_t mode) {
  char path[] = "/tmp/zvgm-test-XXXXXX";
  int fd = mkstemp(path);
  if (fd < 0 || write(fd, text.data(), text.size()) != (ssize_t)text.size()) abort();
  fchmod(fd, mode);
  close(fd);
  return path;
}

std::string slurp(const std::string &path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool contains(const std::string &text, const std::string &what) {
  return text.find(what) != std::string::npos;
}
