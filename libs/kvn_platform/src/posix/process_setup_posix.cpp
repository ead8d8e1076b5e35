#include <unistd.h>

#include "kvn_log/log.h"
#include "kvn_platform/process_setup.h"

namespace kvn_platform {

// Sockets need no start-up here.
int startSockets() { return 0; }
void stopSockets() {}

void enableBackupPrivileges() {
  // root reads every file; anyone else is limited by file permissions.
  if (::geteuid() != 0) {
    KLOG_W("not running as root: files unreadable to this user will be reported as errors");
  }
}

// There is no component object model here.
void initComSecurity() {}

}  // namespace kvn_platform
