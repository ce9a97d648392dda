// nojvm.cc - the call into the daemon for a library built without a
// JDK (no Java natives): there is no daemon to ask, so no terminal is ever
// attached here, which is what the JNI version answers before start-up too.
#include "bridge/bridge.h"

extern "C" {

int exception(void) { return 0; }

int gotTerminal(const char *) { return 0; }

}  // extern "C"
