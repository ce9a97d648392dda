// wire.h - what the group tests share: one datagram heard on the wire checked
// against the announcement format, byte for byte, and against what its sender
// should have said; a server's table checked.
#ifndef ZVGM_GROUP_WIRE_H
#define ZVGM_GROUP_WIRE_H

#include <set>
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
  int period = 0, cpus = -1;  // cpus -1: not checked
  int sessions = 0, idles = 0;
  long earliestStart = 0;  // starttime lies at or after this
  std::vector<IfExpect> ifs;
  bool signedWith = false;  // with a "#sig=" trailer
};

// "" when d is exactly one announcement as e describes, sent at about now
// (seconds since the epoch); otherwise what is wrong.
std::string checkAnnouncement(const Datagram &d, const AnnounceExpect &e, long now);

// The processor count this machine's announcements carry: one per online
// processor, each with its clock line in /proc/cpuinfo (x86).
int cpuCount();

// What the group tests share (apart, so that a test with helpers of these
// names of its own can still use the above).
namespace common {

const int kPeriod = 2;  // keep-alive interval of every server
const std::string kSecretFile = "/etc/zvgm.secret";

// A server's properties here: the keep-alive interval kPeriod, then more.
std::vector<std::string> props(std::vector<std::string> more = {});
// Starts name (of the testbed's kind) with props(more) and secret, written
// first as its kSecretFile (mode 0600); null on failure.
Daemon *startSigned(Testbed &tb, const std::string &name, const std::string &secret,
                    std::vector<std::string> more = {});
// Writes text to the file name in the testbed's folder, of mode; its path.
std::string save(Testbed &tb, const std::string &name, const std::string &text, int mode = 0644);

// Whether d's table holds exactly names (d itself first), each at its
// testbed addresses on nifs interfaces with period kPeriod, trusted unless
// in untrusted; every interface of each peer in heard heard within maxAge s.
bool holds(Testbed &tb, Daemon &d, const std::vector<std::string> &names,
           const std::vector<std::string> &heard, long maxAge,
           const std::set<std::string> &untrusted = {}, size_t nifs = 1);

struct Lookup {
  std::string answer;  // "" or "<hex>:<trusted>:<age>"; "?..." when malformed
  long ms = 0;
};
// n lookups of ctoken at once from the light server d (its "timed" command);
// always n of them, a missing one "?" (and a failure).
std::vector<Lookup> lookups(Daemon &d, int n, const std::string &ctoken, int timeoutMs = 40000);
// The server of names that an answer names by its address, "" for the
// asking one, "?" for none of them.
std::string named(Testbed &tb, const std::string &answer, const std::vector<std::string> &names);
// Waits until d's table holds names, each heard within maxAge s and trusted
// unless in untrusted; then one lookup from d, which waits out its start-up
// grace.
void settle(Testbed &tb, Daemon &d, const std::vector<std::string> &names, long maxAge = kPeriod,
            const std::set<std::string> &untrusted = {});

}  // namespace common
}  // namespace tb

#endif
