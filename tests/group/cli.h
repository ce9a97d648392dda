// cli.h - what the tests of the operator's command share: zvgm run as a
// server or the observer sees the world (ZVGM_BIN: the test's .cmake file).
#ifndef ZVGM_GROUP_CLI_H
#define ZVGM_GROUP_CLI_H

#include <string>
#include <vector>

#include "harness.h"

namespace tb::common {

// zvgm with args where server `where` runs ("obs": the observer); its exit
// status, its standard output in *out.
inline int zvgm(Testbed &tb, const std::string &where, std::vector<std::string> args,
                std::string *out = nullptr) {
  int st = -1;
  args.insert(args.begin(), ZVGM_BIN);
  std::string o = tb.output(where, args, &st);
  if (out != nullptr) *out = o;
  return st;
}

}  // namespace tb::common

#endif
