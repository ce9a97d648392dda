// findings.h - what keeps a group from working, each said as one finding:
// its severity, what is seen, what it costs the group and what to do, as
// `zvgm doctor` prints it and `zvgm serve` exports it. The rules over what
// the roster heard serve both; the rules over this host's own facts, which
// only doctor gathers, serve doctor. Every threshold is named here and
// defended in docs/operators.md.
#ifndef ZVGM_CLI_FINDINGS_H
#define ZVGM_CLI_FINDINGS_H

#include <sys/stat.h>
#include <time.h>

#include <string>
#include <utility>
#include <vector>

#include "commands.h"

namespace zvgm {

// Also the exit status of doctor for its worst finding.
enum Severity { kWarning = 1, kError = 2 };
const char *severityWord(Severity s);  // "warning", "error"

struct Finding {
  Severity severity = kWarning;
  std::string kind;  // e.g. "name_conflict": the metric's label, the JSON's
  std::string name;  // the member it is about, or this host's name
  std::string sees;  // what is seen
  std::string costs; // what it costs the group
  std::string fix;   // what to do
};

// "error  SEES: COSTS; FIX", without a newline.
std::string findingLine(const Finding &f);
Json findingJson(const Finding &f);
// The worst severity among fs: 0 for none.
int worst(const std::vector<Finding> &fs);
// Errors first, then by kind, name and text; exact repeats dropped.
void settle(std::vector<Finding> *fs);

// ---- Thresholds ---------------------------------------------------------

// The largest datagram a member reads; the rest of a longer one is lost.
constexpr int kMaxDatagram = GM_BUFSIZE - 1;
// A clock offset is measured in whole seconds at both ends, with the time
// between writing an announcement and reading it on top: below this it is
// the measurement's own noise.
constexpr int kClockNoise = 2;
// A member's notes are judged over this many of its keep-alive intervals,
// the library's own window for alive.
constexpr int kWindowPeriods = 3;
// Two servers of one name, each heard twice, hand the name back to one
// heard before at least twice; a server whose interface went away and came
// back, once.
constexpr int kConflictReturns = 2;
// A secret whose estimated strength is below this many bits can be found
// from one recorded message by an offline search within months.
constexpr double kSecretBits = 64;

// ---- Rules over what was heard ----------------------------------------

// This host's name, for the findings about its own clock.
std::string thisHostName();
// The findings over the members alive at now. self is this host's name, for
// a finding about this host's own clock.
std::vector<Finding> groupFindings(const Roster &r, time_t now, const std::string &self);

// ---- Rules over this host ---------------------------------------------

// A socket on the group port that is bound to take datagrams sent to this
// host (not to the group or a broadcast address).
struct PortHolder {
  uint32_t addr = 0;     // bound address, network order (0: any)
  int pid = -1;          // owner; -1 when this user cannot see it
  std::string program;   // the owner's command name
  bool manager = false;  // the owner runs the group manager library
};

// A firewall rule on the way in that stops datagrams to the group port.
struct FilterRule {
  std::string where;   // "table inet filter, chain input"
  std::string verdict; // "drop", "reject", or "policy drop" for a chain that
                       // drops by default and names the port in no rule
};

struct LocalFacts {
  std::string hostName;  // gethostname
  int port = GM_DEFAULT_PORT;
  std::string group;     // "" in broadcast mode
  bool member = false;   // a group manager runs on this host
  int resolved = -1;     // the host name resolved (1) or not (0); -1 unchecked
  uint32_t address = 0;  // what it resolved to, network order
  int interfaces = -1;   // interfaces the library would use; -1 unreadable
  std::vector<PortHolder> holders;
  bool portFree = true;  // a socket that shares addresses can bind the port
  std::vector<FilterRule> filters;
  std::vector<std::pair<std::string, int>> joinFailures;  // interface, errno
  int igmpLimit = -1;    // net.ipv4.igmp_max_memberships; -1 unknown
  std::string listenError;  // why doctor could not listen; "" when it did
  std::string secretPath;   // "" when none was given
  std::string secretRefused;  // why the library would refuse it; "" if not
  size_t secretBytes = 0;
  double secretBits = -1;     // estimated strength; -1 when not read
  double listened = 0;        // seconds doctor listened
  int heard = 0;              // members it heard
};

std::vector<Finding> localFindings(const LocalFacts &f);

// ---- Facts from texts, beside the rules for their tests ------------------

// The rules of an nftables rule set (the JSON of `nft -j list ruleset`) that
// stop UDP datagrams to port on their way in.
std::vector<FilterRule> portFilters(const std::string &nftJson, int port);
// Estimated bits of a secret: its length (without one final newline) times
// the bits of the smallest alphabet of the character classes it uses. An
// upper bound: a phrase of words scores as random letters.
double secretBits(const std::string &secret);
// Why the library refuses a secret file of this status (owner, mode, size);
// "" when it takes it.
std::string secretRefusal(const struct stat &st);

}  // namespace zvgm

#endif
