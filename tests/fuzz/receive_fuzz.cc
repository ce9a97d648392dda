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
  fuzzSecret(in.ctl & 1);
  fuzzReset(in.fill, in.ctl & 0x10);
  int k = 0;
  for (const std::string &g : in.grams) {
    int len = (int)std::min(g.size(), (size_t)GM_BUFSIZE - 1);  // as recvfrom reads it
    memcpy(inbuf, g.data(), (size_t)len);
    struct sockaddr_in from = fuzzFrom((in.ctl >> 1) + k);
    dispatchGroupMessage(fuzzSock(), &from, inbuf, len);
    checkTable();
    fuzzNow++;
    k++;
  }
  for (const std::string &r : fuzzDrain()) {
    if (r.compare(0, 5, "host=") == 0)
      FUZZ_CHECK(r.compare(0, 15, "host=fuzz-self ") == 0 && r.size() < GM_BUFSIZE);
    else if (r.compare(0, 7, "tokenR=") == 0)
      checkReply(r, "tokenR=", GM_TOKENR_BUF - 1, true);
    else if (r.compare(0, 6, "termR=") == 0)
      checkReply(r, "termR=", GM_TERMR_BUF - 1, true);
    else
      checkReply(r, "serverR=", 255, false);
  }
  return 0;
}
