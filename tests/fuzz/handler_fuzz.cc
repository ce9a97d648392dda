// handler_fuzz.cc - fuzz target for one handler of group datagrams, built
// once per handler: FUZZ_HANDLER names hostMessage (with FUZZ_ANNOUNCE), or
// tokenQMessage, termQMessage or serverQMessage with FUZZ_REPLY the reply it
// sends, at most FUZZ_REPLYMAX bytes (FUZZ_SIGNED: whether it is signed).
// Each datagram is checked and cut as the loop does, with the secret loaded
// or not (bit 0), and handed over from a loopback sender, a second after the
// one before, into a table of byte 1's number of peers (responders: up to 3).
// A first announcement is answered with our own, which must be well formed;
// every reply of a responder must be one well-formed line that verifies.
#include <string.h>

#include <vector>

#include "fuzz_common.h"
#include "placement/placement.h"
#include "placement/query_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in;
  if (!splitInput(data, size, &in)) return 0;
  fuzzSecret(in.ctl & 1);
#ifdef FUZZ_ANNOUNCE
  fuzzReset(in.fill, in.ctl & 0x10);
#else
  fuzzReset(in.fill % 4, in.ctl & 0x10);
#endif
  int k = 0;
  for (const std::string &g : in.grams) {
    size_t len = std::min(g.size(), (size_t)GM_BUFSIZE - 1);
    std::vector<char> buf(g.begin(), g.begin() + (long)len);
    buf.push_back('\0');
    int trusted = chkSignature(buf.data());
    struct sockaddr_in from = fuzzFrom((in.ctl >> 1) + k);
    FUZZ_HANDLER(fuzzSock(), &from, buf.data(), (int)len, trusted);
    checkTable();
    fuzzNow++;
    k++;
  }
  for (const std::string &r : fuzzDrain())
#ifdef FUZZ_ANNOUNCE
    FUZZ_CHECK(r.compare(0, 15, "host=fuzz-self ") == 0 && r.size() < GM_BUFSIZE);
#else
    checkReply(r, FUZZ_REPLY, FUZZ_REPLYMAX, FUZZ_SIGNED);
#endif
  return 0;
}
