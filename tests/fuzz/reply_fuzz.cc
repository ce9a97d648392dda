// reply_fuzz.cc - fuzz target for the query engine's reading of replies: a
// whole token lookup (collectSessions) or terminal lookup (doTermQs, bit 3)
// runs over a table of up to 3 peers (byte 1), all on loopback, and the
// datagrams arrive as its replies. The engine's wait is faked: each wait
// delivers the next datagram to the lookup's socket from ours, and when
// none is left the fake clock runs out the window. The list text, the
// target and the table written back are checked.
#include <arpa/inet.h>
#include <string.h>
#include <sys/socket.h>

#include "fuzz_common.h"
#include "placement/placement.h"
#include "placement/query_engine.h"

namespace {

const std::vector<std::string> *pending;
size_t nextGram;

int fakePoll(struct pollfd *fds, nfds_t n, int timeout_ms) {
  if (n == 1 && fds != nullptr && nextGram < pending->size()) {
    struct sockaddr_in to;
    socklen_t len = sizeof to;
    FUZZ_CHECK(getsockname(fds[0].fd, (struct sockaddr *)&to, &len) == 0);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const std::string &g = (*pending)[nextGram++];
    FUZZ_CHECK(sendto(fuzzSock(), g.data(), g.size(), 0, (struct sockaddr *)&to, sizeof to) ==
               (ssize_t)g.size());
    return fds[0].revents = POLLIN, 1;
  }
  fuzzNow += timeout_ms > 0 ? (timeout_ms + 999) / 1000 : 1;
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  FuzzInput in;
  if (!splitInput(data, size, &in)) return 0;
  for (const std::string &g : in.grams)
    if (g.size() > 2048) return 0;  // longer than any datagram worth sending here
  fuzzSecret(in.ctl & 1), fuzzReset(in.fill % 4, in.ctl & 0x80);
  checkLoopbackOnly();  // the lookup asks every interface of the table
  pending = &in.grams, nextGram = 0, gmSys.poll = fakePoll;
  int retries = 1 + ((in.ctl >> 4) & 7) % 3;
  const char *client = (in.ctl & 0x4) ? "127.0.0.2" : "";
  uint32_t target = 0;
  static char list[GM_LISTBUF];  // no terminator but the one the lookup leaves
  memset(list, '#', sizeof list), list[0] = '\0';
  int rc = (in.ctl & 0x8) ? doTermQs("term-seed", client, retries, &target)
                          : collectSessions("c-seed", "i-seed", client, retries, &target, list, sizeof list);
  size_t used = strnlen(list, sizeof list);
  FUZZ_CHECK(rc == 0 && used < sizeof list && (used == 0 || list[used - 1] == '\n'));
  checkTable(), fuzzDrain();  // the queries sent to the local host's sinks: dropped
  return 0;
}
