// testutil.h - helpers shared by the unit tests: the group state reset, log
// capture and small record builders.
#ifndef ZVGM_TESTUTIL_H
#define ZVGM_TESTUTIL_H

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

#endif
