// A service on this platform has no per-thread sleep request; a machine
// that suspends while a backup runs is configured not to by its owner, so
// there is nothing to do and nothing worth logging.
#include "kvn_platform/power.h"

namespace kvn_platform {

void keepSystemAwake() {}
void allowSystemSleep() {}

}  // namespace kvn_platform
