#include "app.h"
#include "kvn_platform/process_setup.h"
#include "kvn_platform/stop_signals.h"

int main(int argc, char** argv) {
  // Before any thread exists, so that every thread leaves stop requests to
  // the one that waits for them.
  kvn_platform::holdStopRequests();
  kvn_platform::tuneMemoryAllocator();
  kvn_platform::limitAllocatorPools();
  App app(argc, argv);
  if (const auto code = app.earlyExitCode()) return *code;
  return app.exec();
}
