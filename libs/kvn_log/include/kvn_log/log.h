// Process-wide logger. Every line has the form
//   <tag>[<UTC %m-%d %T>] <file>:<line> - <message>
// and goes to standard output, which the service redirects to its log file.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace kvn_log {

// The value is also the threshold: a line is written when its level is at
// least the current threshold.
enum Level : std::int32_t {
  Trace = 0,
  Debug = 1,
  Info = 2,
  Warning = 3,
  Error = 4,
  Fatal = 5,
};

// Base name of a source path: the part after the last '/' or '\'.
constexpr const char* baseName(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/' || *p == '\\') base = p + 1;
  }
  return base;
}

struct Location {
  const char* file;
  int line;
};

// Called with (level, time text, base name, line, message) while the log
// lock is held. It must not log and must not throw; it should only queue.
using LogCallback = std::function<void(Level, const char*, const char*, int, const char*)>;

// Lines longer than this are cut when a callback is installed.
inline constexpr std::size_t kCallbackMessageMax = 1023;

void log(Level level, const Location& where, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

void setLevel(Level level);
Level level();
inline bool enabled(Level l) { return l >= level(); }

// Sets the threshold from the first character of text, case-insensitively
// (t, d, i, w, e, f). Anything else leaves the threshold as it is.
void parseLevel(const std::string& text);

// Colours are only ever used on a terminal: the flag is ignored while
// standard output is not one.
void setColored(bool colored);

// Reopens standard output on path (append) and makes standard error a
// duplicate of it, so that everything the process prints lands in the file.
// Returns false when the file cannot be opened; output is then unchanged.
bool setLogFile(const std::string& path);
std::string logFilePath();

void setCallback(LogCallback callback);

// Rotates the log file once it has reached 5 MiB, keeping up to five
// numbered predecessors (".1" newest to ".5" oldest).
void rotateIfNeeded();

// The tag written at the start of each line ("ii ", "EE ", ...).
const char* levelTag(Level level);

}  // namespace kvn_log

#define KVN_HERE (::kvn_log::Location{::kvn_log::baseName(__FILE__), __LINE__})

// The threshold is tested before any argument is evaluated.
#define KVN_LOG(lvl, ...)                                                   \
  do {                                                                      \
    if (::kvn_log::enabled(lvl)) ::kvn_log::log((lvl), KVN_HERE, __VA_ARGS__); \
  } while (0)

#define KLOG_T(...) KVN_LOG(::kvn_log::Trace, __VA_ARGS__)
#define KLOG_D(...) KVN_LOG(::kvn_log::Debug, __VA_ARGS__)
#define KLOG_I(...) KVN_LOG(::kvn_log::Info, __VA_ARGS__)
#define KLOG_W(...) KVN_LOG(::kvn_log::Warning, __VA_ARGS__)
#define KLOG_E(...) KVN_LOG(::kvn_log::Error, __VA_ARGS__)
#define KLOG_F(...) KVN_LOG(::kvn_log::Fatal, __VA_ARGS__)
