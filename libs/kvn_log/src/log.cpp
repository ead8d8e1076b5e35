#include "kvn_log/log.h"

#include <atomic>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>

#include "console.h"
#include "log_state.h"

namespace kvn_log {

namespace detail {

LogState& state() {
  static LogState s;
  return s;
}

}  // namespace detail

namespace {

std::atomic<std::int32_t> g_level{Info};

struct LevelStyle {
  const char* tag;
  std::uint16_t attribute;  // console text attribute of the level
};

LevelStyle styleOf(Level level) {
  switch (level) {
    case Trace: return {"tt ", 9};
    case Debug: return {"dd ", 10};
    case Info: return {"ii ", 15};
    case Warning: return {"ww ", 14};
    case Error: return {"EE ", 12};
    case Fatal: return {"FF ", 192};
  }
  return {"?? ", 11};
}

constexpr std::uint16_t kDefaultAttribute = 7;

}  // namespace

const char* levelTag(Level level) { return styleOf(level).tag; }

void setLevel(Level level) { g_level.store(level, std::memory_order_relaxed); }

Level level() { return static_cast<Level>(g_level.load(std::memory_order_relaxed)); }

void parseLevel(const std::string& text) {
  if (text.empty()) return;
  switch (std::tolower(static_cast<unsigned char>(text[0]))) {
    case 't': setLevel(Trace); break;
    case 'd': setLevel(Debug); break;
    case 'i': setLevel(Info); break;
    case 'w': setLevel(Warning); break;
    case 'e': setLevel(Error); break;
    case 'f': setLevel(Fatal); break;
    default: break;
  }
}

void setColored(bool colored) {
  auto& s = detail::state();
  std::lock_guard lock(s.mutex);
  s.colorRequested = colored;
  s.colored = colored && console::isTerminal(stdout);
}

void setCallback(LogCallback callback) {
  auto& s = detail::state();
  std::lock_guard lock(s.mutex);
  s.callback = std::move(callback);
}

void log(Level level, const Location& where, const char* format, ...) {
  if (level < g_level.load(std::memory_order_relaxed)) return;

  auto& s = detail::state();
  std::lock_guard lock(s.mutex);
  const LevelStyle style = styleOf(level);

  if (s.colored) console::setAttribute(stdout, style.attribute);
  std::fputs(style.tag, stdout);

  char timeText[64];
  std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(timeText, sizeof timeText, "%m-%d %T", &utc);
  std::fprintf(stdout, "[%s] ", timeText);
  std::fprintf(stdout, "%s:%d ", where.file, where.line);
  if (s.colored) console::setAttribute(stdout, kDefaultAttribute);
  std::fputs("- ", stdout);

  va_list args;
  va_start(args, format);
  if (s.callback) {
    char message[kCallbackMessageMax + 1];
    std::vsnprintf(message, sizeof message, format, args);
    s.callback(level, timeText, where.file, where.line, message);
    std::fputs(message, stdout);
  } else {
    std::vfprintf(stdout, format, args);
  }
  va_end(args);

  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace kvn_log
