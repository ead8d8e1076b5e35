#include "tessel/logforwarder.h"

#include "kvn_log/log.h"

namespace {

thread_local bool suppressed = false;

}  // namespace

LogForwarder::LogForwarder(std::function<void()> wake, std::size_t capacity)
    : wake_(std::move(wake)), capacity_(capacity) {}

LogForwarder::~LogForwarder() { disable(); }

void LogForwarder::enable() {
  if (enabled_.exchange(true)) return;
  kvn_log::setCallback([this](kvn_log::Level level, const char* date, const char* file, int line,
                              const char* text) { queue(level, date, file, line, text); });
}

void LogForwarder::disable() {
  if (!enabled_.exchange(false)) return;
  kvn_log::setCallback({});
  std::lock_guard lock(mutex_);
  lines_.clear();
  dropped_ = 0;
}

std::vector<LogForwarder::Line> LogForwarder::take(std::uint64_t* dropped) {
  std::lock_guard lock(mutex_);
  std::vector<Line> lines(std::make_move_iterator(lines_.begin()),
                          std::make_move_iterator(lines_.end()));
  lines_.clear();
  *dropped = dropped_;
  dropped_ = 0;
  return lines;
}

const char* LogForwarder::levelName(int level) {
  static const char* const names[] = {"trace", "debug", "info", "warning", "error", "fatal"};
  return level >= 0 && level < 6 ? names[level] : "???";
}

void LogForwarder::queue(int level, const char* date, const char* file, int line,
                         const char* text) {
  if (suppressed) return;
  bool wasEmpty = false;
  {
    std::lock_guard lock(mutex_);
    if (lines_.size() >= capacity_) {
      ++dropped_;
      return;
    }
    wasEmpty = lines_.empty();
    lines_.push_back(
        {levelName(level), date ? date : "", file ? file : "", line, text ? text : ""});
  }
  if (wasEmpty) wake_();
}

LogForwarder::Suppress::Suppress() : previous_(suppressed) { suppressed = true; }

LogForwarder::Suppress::~Suppress() { suppressed = previous_; }
