// receive_fuzz.cc - fuzz target for the whole receive path: each datagram
// goes through the receive buffer and dispatchGroupMessage as the manager
// loop hands it on (signature check and cut, then the handler its first
// token names), with the secret loaded or not (bit 0), into a table of byte
// 1's number of peers. Every answer sent must be a well-formed reply.
#include <string.h>

#include "fuzz_common.h"
#include "placement/query_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in;
  if (!splitInput(data, size, &in)) return 0;
  fuzzSecret(in.ctl & 1), fuzzReset(in.fill, in.ctl & 0x10);
  for (size_t k = 0; k < in.grams.size(); k++, fuzzNow++) {
    int len = (int)std::min(in.grams[k].size(), (size_t)GM_BUFSIZE - 1);  // as recvfrom reads it
    struct sockaddr_in from = fuzzFrom((in.ctl >> 1) + (int)k);
    dispatchGroupMessage(fuzzSock(), &from, (char *)memcpy(inbuf, in.grams[k].data(), (size_t)len), len);
    checkTable();
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
