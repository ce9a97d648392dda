// fuzz_common.h - what the fuzz targets share: a group table with a local
// host and filler peers, loopback sockets that stand for the senders, the
// shared secret switched on and off, the table's invariants, and the input
// layout of the targets that take datagrams.
#ifndef ZVGM_FUZZ_COMMON_H
#define ZVGM_FUZZ_COMMON_H

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "group/group.h"

// Stops the run on a broken invariant: libFuzzer keeps the input as a crash.
[[noreturn]] void fuzzFail(const char *what);
#define FUZZ_CHECK(cond)                                   \
  do {                                                     \
    if (!(cond)) fuzzFail(#cond " (" __FILE__ ")");        \
  } while (0)

// The input of the datagram targets:
//   byte 0  control: bit 0 secret loaded, bits 1-2 the sender (127.0.0.1
//           .. 127.0.0.4), bits 3-7 the target's own
//   byte 1  filler peers put into the table before the first datagram:
//           below 224 its value mod 8, else 96 to 99 (a table at its limit)
//   rest    datagrams, separated by kSeparator
struct FuzzInput {
  uint8_t ctl = 0;
  uint8_t fill = 0;
  std::vector<std::string> grams;
};
extern const char kSeparator[];  // "\xfe\xff"; also in every target's dictionary
bool splitInput(const uint8_t *data, size_t size, FuzzInput *in);

// The secret of the seed captures on or off (it is loaded only where its
// file is owned by root: signatureLoaded() tells).
void fuzzSecret(bool on);

// Before every input: the table back to the local host alone plus fill
// peers (trusted ones on 127.0.1.x), the clock back to its start, sinks
// emptied. lanOk gives the local host LAN_OK.
void fuzzReset(int fill, bool lanOk);

// A UDP socket of ours on 127.0.0.1 (the reply target sends from it).
int fuzzSock();
// The group socket of the receive path: UDP on 127.0.0.1, non-blocking, as
// the manager's own. fuzzDeliver sends a datagram to it from sender i
// (127.0.0.(i % 4 + 1) at the sinks' port); false when it could not be sent.
int fuzzGroupSock();
bool fuzzDeliver(int i, const std::string &gram);
// A file name in the targets' temp directory.
std::string fuzzPath(const char *name);
// Fails the run unless every interface of the table is in 127.0.0.0/8: the
// guard before anything that asks the table's interfaces.
void checkLoopbackOnly();
// Every datagram the handlers sent to the senders since the last reset.
std::vector<std::string> fuzzDrain();

// Fake clock: gmSys.now reads it.
extern time_t fuzzNow;
const time_t kFuzzStart = 1800000000;

// The group table's invariants: at most MAXHOSTS hosts, the local host in
// slot 0 and unchanged in name and address, every peer a live heap record
// with its fields set and in range, numifs matching a live array, no record
// or array in two slots, no stale pointer. Fails the run on a violation.
void checkTable();

// A reply a responder sent: one line starting with kind, ending in "\n", at
// most max bytes; with sign, carrying a trailer that verifies exactly when
// the secret is loaded, else never a trailer (server replies).
void checkReply(const std::string &r, const char *kind, size_t max, bool sign);

#endif  // ZVGM_FUZZ_COMMON_H
