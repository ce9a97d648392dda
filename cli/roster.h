// roster.h - what the operator's command knows of a group: the members heard
// on the group port, each with its last announcement as the library reads it,
// how it was signed, and when each of its interfaces was last heard.
#ifndef ZVGM_CLI_ROSTER_H
#define ZVGM_CLI_ROSTER_H

#include <time.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "group/group.h"

namespace zvgm {

// Exit statuses: 1 when the command ran but heard or got nothing, 2 when it
// could not run (usage, secret file, socket, interfaces).
enum { kExitOk = 0, kExitNothing = 1, kExitError = 2 };

struct Options {
  int port = GM_DEFAULT_PORT;
  std::string group = GM_DEFAULT_GROUP;  // joined unless broadcast is set
  bool broadcast = false;
  std::string secret;  // file; "" for none
  double wait = -1;    // seconds; -1: the command's default
  bool json = false;
  std::string term;  // lookup: the terminal's address
  std::string listen = "127.0.0.1:9709";  // serve: where HTTP is served
  int expect = -1;   // serve: members the group should have alive; -1 unset
};

// How an announcement was signed, judged with the secret given (if any).
enum Trust {
  kUnsigned,       // no trailer
  kValid,          // trailer verifies with the given secret
  kOtherSecret,    // trailer does not verify with the given secret
  kSignedUnchecked // trailer, but no secret was given to check it
};
constexpr int kTrusts = 4;
const char *trustWord(Trust t);
// The secret a valid announcement verified with, "first" or "second"; null
// for any other.
const char *secretWord(int which);

// How one datagram arrived, beyond its text.
struct Arrival {
  int size = -1;  // its length on the wire; above GM_BUFSIZE - 1 it was cut
  int ttl = -1;   // its IP time-to-live on arrival; -1 when not known
};

// What a member's announcements showed over time, beyond the last one: the
// findings (findings.h) read it.
struct MemberNotes {
  // One server heard announcing the member's name.
  struct Sender {
    uint32_t addr = 0;       // the address it announces, network order
    uint32_t from = 0;       // the source of its last datagram
    std::string ifs;         // its interfaces as announced, "ip/mask ..."
    time_t starttime = 0;    // its manager's start, in its clock
    time_t last = 0;         // when it was last heard
  };
  static constexpr size_t kKept = 16;
  std::vector<Sender> senders;  // the last few, the one heard last at the end
  // When the name passed from one sender to another, and whether to one
  // heard before (as two servers of one name do, every interval); the last
  // kKept.
  std::vector<std::pair<time_t, bool>> flips;
  int announcedIfs = 0;  // numifs of its last announcement, as written
  int listedIfs = 0;     // interface lines that announcement carried
  int largest = 0;       // its largest datagram, bytes on the wire
  int ttl = -1;          // time-to-live of its last datagram on arrival
};

struct Member {
  host *h = nullptr;  // the last announcement, parsed by the library; owned
  uint32_t from = 0;  // its source address, network order
  time_t first = 0, last = 0;
  int heard = 0;      // announcements taken (one per sending, on any interface)
  int64_t sent = 0;   // the sender's clock in the last one
  Trust trust = kUnsigned;
  int secret = GM_SECRET_NONE;  // which secret verified the last one taken
  int restarts = 0;   // announcements with a start time other than the last
  MemberNotes notes;
  // What the library's verdict keeps of the member, and the announcements
  // under its name that it refused (impersonations, replays): these move
  // nothing here either, as they move nothing in a member's table.
  gm_trustmark mark{};
  long refused[GM_VERDICTS] = {};
};
// How an operator reads a member's trust: "first secret" or "second secret"
// when valid, otherwise the trust word.
std::string trustText(const Member &m);

class Roster {
 public:
  Roster() = default;
  Roster(const Roster &) = delete;
  Roster &operator=(const Roster &) = delete;
  ~Roster();

  // Loads the secret by the library's rules and opens the group port
  // (shared with a manager on this host). On failure: false and *err.
  bool open(const Options &o, std::string *err);
  // open in two steps: the secret and the group's address (a failure here
  // is the operator's), then the sockets (which may wait for an interface).
  // checking: the secret is loaded with loadCheckingSecret.
  bool prepare(const Options &o, std::string *err, bool checking = false);
  bool openSockets(std::string *err);
  bool listening() const { return !fds_.empty(); }
  // Held while a datagram is taken, when another thread reads the members.
  std::mutex *guard = nullptr;
  // Takes announcements for the given seconds or, with untilTwice, until
  // every member heard so far was heard twice. Returns whether any
  // announcement was taken.
  bool listen(double seconds, bool untilTwice);
  // Takes one received datagram of len bytes (buf holds len + 1) from
  // `from` (network order) at now; false when it is no announcement.
  bool take(char *buf, int len, uint32_t from, time_t now);
  // The same, with what is known of its arrival (size on the wire, TTL).
  bool take(char *buf, int len, uint32_t from, time_t now, const Arrival &a);

  // 1 while one of m's interfaces was heard within 3 of its periods.
  static bool alive(const Member &m, time_t now);
  bool secretLoaded() const { return secretLoaded_; }
  const Options &options() const { return opt_; }

  std::vector<Member> members;
  int datagrams = 0;   // announcements received
  int malformed = 0;   // announcements the library refused
  int foreign = 0;     // datagrams on the group port that are no announcement
  long byTrust[kTrusts] = {};  // announcements taken, by how they were signed
  // The interfaces on which the group could not be joined, each with the
  // error (multicast only); set by openSockets.
  std::vector<std::pair<std::string, int>> joinFailures;
  long refused[GM_VERDICTS] = {};  // announcements refused, by verdict

 private:
  Options opt_;
  std::vector<int> fds_;
  bool secretLoaded_ = false;
};

// Loads the secret file by the library's rules; false and *err when it was
// refused (the library has said why on standard error).
bool loadSecret(const std::string &path, std::string *err);
// The same for a listener that only checks announcements (serve): the file
// may also be owned by the user running zvgm, as a service's credential is,
// and must not be writable by group or others. Both take "<path>.2" as the
// second secret when it is there, as the library does.
bool loadCheckingSecret(const std::string &path, std::string *err);

std::string dotted(uint32_t netAddr);
int prefixLen(uint32_t netMask);

}  // namespace zvgm

#endif
