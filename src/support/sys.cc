// sys.cc - the real clock and wait behind the system seam.
#include <poll.h>
#include <time.h>

#include "support/support.h"

namespace {
time_t realNow(void) { return time(nullptr); }
}  // namespace

extern "C" {
gm_sys gmSys = {realNow, ::poll};
}
