#include <malloc.h>
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

void tuneMemoryAllocator() {
  // glibc serves blocks of 128 KiB and more with mmap and gives them back at
  // once, so every large packet paid for fresh zeroed pages. Blocks up to
  // 32 MiB now come from the heap, and up to 64 MiB of free heap stay mapped.
  mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
  mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
}

}  // namespace kvn_platform
