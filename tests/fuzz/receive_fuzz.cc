// receive_fuzz.cc - fuzz target for the whole receive path: the datagrams
// are sent over loopback to a group socket and taken from it by
// handleGroupMessage, as the manager loop takes them (a batch at a time, each
// in inbuf, signature check and cut, then the handler its first token names),
// with the secret loaded or not (bit 0), into a table of byte 1's number of
// peers. Every answer sent must be a well-formed reply.
#include <poll.h>
#include <string.h>

#include "fuzz_common.h"
#include "placement/query_engine.h"

namespace {

// Datagrams sent before the path takes them: more than one batch's worth is
// never queued, so that none is lost for want of buffer room.
const size_t kQueued = 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in;
  if (!splitInput(data, size, &in)) return 0;
  fuzzSecret(in.ctl & 1), fuzzReset(in.fill, in.ctl & 0x10);
  struct pollfd queued = {fuzzGroupSock(), POLLIN, 0};
  for (size_t k = 0; k < in.grams.size();) {
    for (size_t end = std::min(k + kQueued, in.grams.size()); k < end; k++)
      FUZZ_CHECK(fuzzDeliver((in.ctl >> 1) + (int)k, in.grams[k]));
    for (; poll(&queued, 1, 0) > 0; fuzzNow++) {
      handleGroupMessage(fuzzGroupSock());
      checkTable();
    }
  }
  // Our own announcement, or a reply of the kind its first word names.
  for (const std::string &r : fuzzDrain())
    if (r.compare(0, 5, "host=") == 0)
      FUZZ_CHECK(r.compare(0, 15, "host=fuzz-self ") == 0 && r.size() < GM_BUFSIZE);
    else
      r[0] == 's' ? checkReply(r, "serverR=", 255, false)
      : r[1] == 'o' ? checkReply(r, "tokenR=", GM_TOKENR_BUF - 1, true) : checkReply(r, "termR=", GM_TERMR_BUF - 1, true);
  return 0;
}
