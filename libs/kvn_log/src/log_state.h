// State shared by the logger's translation units; all of it is guarded by
// the one log mutex.
#pragma once

#include <mutex>
#include <string>

#include "kvn_log/log.h"

namespace kvn_log::detail {

struct LogState {
  std::mutex mutex;
  bool colorRequested = false;
  bool colored = false;
  std::string logFilePath;
  LogCallback callback;
};

LogState& state();

// Redirects standard output and error to path; the caller holds the mutex.
bool redirectLocked(LogState& s, const std::string& path);

}  // namespace kvn_log::detail
