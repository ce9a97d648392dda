// testutil.h - helpers shared by the unit tests: the group state reset, log
// capture and small record builders.
#ifndef ZVGM_TESTUTIL_H
#define ZVGM_TESTUTIL_H

#include <sys/socket.h>
#include <sys/types.h>

#include <string>

#include "group/group.h"

// Frees every peer record and zeroes the process-wide state of the group.
void resetGroupState();

// Captures what is written to standard error (the log) while it lives.
class LogCapture {
 public:
  LogCapture();
  ~LogCapture();
  std::string text();  // everything captured so far
 private:
  int saved_ = -1;
  int fd_ = -1;
  std::string path_;
};

// An interface record with dotted address and mask, port gmport.
interface makeIf(const char *name, const char *addr, const char *mask,
                 int flags = LAN, time_t lastpkt = 0);

// A heap host record owning a copy of the given interfaces.
host *makeHost(const char *name, const char *addr, int flags,
               const interface *ifs, int numifs);

// Dotted text to network-order address.
uint32_t ip(const char *dotted);

// Makes h (a makeHost record, freed here) the local host in slot 0.
void setMyhost(host *h);

// A socket bound to an ephemeral loopback port (without SO_REUSEADDR);
// *addr gets the bound address.
int loopbackSocket(int type = SOCK_DGRAM, sockaddr_in *addr = nullptr);

// A new file under /tmp holding text, with the given mode; returns its path.
std::string writeTemp(const std::string &text, mode_t mode = 0600);

// The whole contents of a file, "" when it cannot be read.
std::string slurp(const std::string &path);

bool contains(const std::string &text, const std::string &what);

#endif
