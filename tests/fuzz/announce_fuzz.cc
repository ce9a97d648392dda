// announce_fuzz.cc - fuzz target for the announcement handler (hostMessage)
// with the group table: datagrams as the loop hands them over, from loopback
// senders, into a table holding byte 1's number of peers. A first
// announcement is answered with our own, which must be well formed.
#include <string.h>

#include <vector>

#include "fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in;
  if (!splitInput(data, size, &in)) return 0;
  fuzzSecret(false);
  fuzzReset(in.fill, false);
  int k = 0;
  for (const std::string &g : in.grams) {
    size_t len = std::min(g.size(), (size_t)GM_BUFSIZE - 1);
    std::vector<char> buf(g.begin(), g.begin() + (long)len);
    buf.push_back('\0');
    struct sockaddr_in from = fuzzFrom((in.ctl >> 1) + k);
    int trusted = (in.ctl >> (k % 8)) & 1;
    hostMessage(fuzzSock(), &from, buf.data(), (int)len, trusted);
    checkTable();
    fuzzNow++;
    k++;
  }
  for (const std::string &r : fuzzDrain())
    FUZZ_CHECK(r.compare(0, 15, "host=fuzz-self ") == 0 && r.size() < GM_BUFSIZE);
  return 0;
}
