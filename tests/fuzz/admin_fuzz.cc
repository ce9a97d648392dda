// admin_fuzz.cc - fuzz target for the reading of the interface
// administration tool's output (flag_nimbar_ifs). The pipe to the tool is
// replaced at link time: safe_popen here hands back a reader on a pipe that
// holds the input, so the parsing runs without a process per input. Byte 0
// picks the local interfaces; the rest is the tool's output.
#include <string.h>
#include <unistd.h>

#include <vector>

#include "fuzz_common.h"

extern "C" {

const char *gmShell = "/nonexistent";
XFILE *safe_popen(const char *cmd, const char *mode);
int safe_pclose(XFILE *xp);

}  // extern "C"

namespace {

std::string out;  // the tool's output

const char *const kNames[] = {"eth0", "eth1", "nimbar0", "eth0:1", "a23456789abcdef"};

}  // namespace

XFILE *safe_popen(const char *cmd, const char *mode) {
  FUZZ_CHECK(strcmp(cmd, GM_ADMCMD) == 0 && mode[0] == 'r');
  int fds[2];
  FUZZ_CHECK(pipe(fds) == 0 && write(fds[1], out.data(), out.size()) == (ssize_t)out.size() && close(fds[1]) == 0);
  return xfdropen(fds[0]);
}

int safe_pclose(XFILE *xp) { return xclose(xp), 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1 || size > 60000) return 0;  // the output must fit the pipe
  out.assign((const char *)data + 1, size - 1);
  int n = data[0] % 6;
  std::vector<interface> ifs((size_t)n), before;  // zeroed
  for (int j = 0; j < n; j++) {
    snprintf(ifs[j].name, sizeof ifs[j].name, "%s", kNames[(j + data[0] / 6) % 5]);
    ifs[j].flags = (data[0] >> j) & 2;  // some start with LAN set, some without
  }
  before = ifs;
  int rc = flag_nimbar_ifs(ifs.data(), n);
  FUZZ_CHECK(rc == 0 || rc == 1);
  for (int j = 0; j < n; j++) {
    // Only the LAN flag may change, and it is cleared only for an interface
    // whose name the output holds.
    interface a = ifs[j], b = before[j];
    a.flags &= ~LAN, b.flags &= ~LAN;
    FUZZ_CHECK(memcmp(&a, &b, sizeof a) == 0);
    if (!(ifs[j].flags & LAN)) FUZZ_CHECK(out.find(ifs[j].name) != std::string::npos);
  }
  checkTable();  // untouched by this input, as after every input
  return 0;
}
