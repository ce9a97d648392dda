// responder_fuzz.cc - fuzz target for one responder, built three times:
// FUZZ_RESPONDER names tokenQMessage, termQMessage or serverQMessage and
// FUZZ_REPLY the reply it sends (FUZZ_SIGNED: whether it is signed). Each datagram is checked and cut as the loop
// does, with the secret loaded or not (bit 0), and answered to a loopback
// sender; every reply must be one well-formed line that verifies.
#include <string.h>

#include <vector>

#include "fuzz_common.h"
#include "placement/placement.h"
#include "placement/query_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in;
  if (!splitInput(data, size, &in)) return 0;
  fuzzSecret(in.ctl & 1);
  fuzzReset(in.fill % 4, in.ctl & 0x10);
  int k = 0;
  for (const std::string &g : in.grams) {
    size_t len = std::min(g.size(), (size_t)GM_BUFSIZE - 1);
    std::vector<char> buf(g.begin(), g.begin() + (long)len);
    buf.push_back('\0');
    int trusted = chkSignature(buf.data());
    struct sockaddr_in from = fuzzFrom((in.ctl >> 1) + k);
    FUZZ_RESPONDER(fuzzSock(), &from, buf.data(), (int)len, trusted);
    checkTable();
    k++;
  }
  for (const std::string &r : fuzzDrain()) checkReply(r, FUZZ_REPLY, FUZZ_REPLYMAX, FUZZ_SIGNED);
  return 0;
}
