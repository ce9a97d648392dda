// routes.cc - where the group loop hands the queries peers and others send to
// the group port: to the responders, under the queries' first keys. The
// manager as the library exports it installs them before its loop starts.
#include "placement/placement.h"
#include "placement/query_engine.h"

namespace {

const gm_route responderRoutes[] = {
    {GM_TOKENQ_KEY, tokenQMessage},
    {GM_TERMQ_KEY, termQMessage},
    {GM_SERVERQ_KEY, serverQMessage},
};

}  // namespace

extern "C" {

void installResponders(void) {
  setGroupRoutes(responderRoutes,
                 (int)(sizeof responderRoutes / sizeof responderRoutes[0]));
}

int groupManager(gm_params gmp, char *errbuf) {
  installResponders();
  return runGroupManager(gmp, errbuf);
}

}  // extern "C"
