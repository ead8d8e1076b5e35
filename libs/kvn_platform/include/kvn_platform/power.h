// Keeps the machine from going to sleep while a backup runs.
#pragma once

namespace kvn_platform {

// Asks the system to stay awake until allowSystemSleep(). Calls from
// several threads may overlap.
void keepSystemAwake();
void allowSystemSleep();

}  // namespace kvn_platform
