// wire.h - checks one datagram heard on the wire against the announcement
// format, byte for byte, and against what its sender should have said.
#ifndef ZVGM_GROUP_WIRE_H
#define ZVGM_GROUP_WIRE_H

#include <string>
#include <vector>

#include "harness.h"

namespace tb {

struct IfExpect {
  std::string name, ip, mask, bcast;  // dotted
  unsigned flags = 0;
};

// What a server's announcements must carry.
struct AnnounceExpect {
  std::string name, addr;  // host name, dotted address
  unsigned flags = 0;
  int period = 0, cpus = 0;
  int sessions = 0, idles = 0;
  long earliestStart = 0;  // starttime lies at or after this
  std::vector<IfExpect> ifs;
  bool signedWith = false;  // with a trailer keyed by secret
  std::string secret;
};

// "" when d is exactly one announcement as e describes, sent at about now
// (seconds since the epoch); otherwise what is wrong.
std::string checkAnnouncement(const Datagram &d, const AnnounceExpect &e, long now);

// The processor count that /proc/cpuinfo gives the announcement.
int cpuCount();

}  // namespace tb

#endif
