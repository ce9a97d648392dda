// serve.h - the pieces of `zvgm serve` that render what the roster holds:
// the Prometheus exposition and the status page.
#ifndef ZVGM_CLI_SERVE_H
#define ZVGM_CLI_SERVE_H

#include <map>
#include <string>

#include "commands.h"

namespace zvgm {

// The group's counters kept beside the roster while serving.
struct ServeCounts {
  long lost = 0;       // members that turned not alive
  bool listening = false;
  int expect = -1;     // members the group should have alive; -1 unset
};

// The weight each member would get in the library's least-loaded draw for
// a terminal on its interconnect network, by name; 0 for a member that
// would take no session there.
std::map<std::string, int32_t> placementWeights(Roster &r);

// /metrics in the Prometheus text format, version 0.0.4.
std::string metricsText(Roster &r, const ServeCounts &c, time_t now);
// The page at /, its table rendered from membersJson.
std::string statusPage(const Json &group);
// The same with the box of findings (findingJson objects) above the table.
std::string statusPage(const Json &group, const Json &findings);

}  // namespace zvgm

#endif
