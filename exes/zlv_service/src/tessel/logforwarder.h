// Live copy of the agent's log for the box. The log callback runs on every
// thread that logs, under the log lock, so it only copies the line into a
// bounded queue and, when the queue was empty, asks for a wake-up; the
// channel's thread takes the lines and sends them. A full queue drops lines
// and counts them instead of holding up the thread that logged.
//
// Lines logged while a forwarded line is being sent (on that thread) are
// not queued again, so forwarding never feeds itself.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

class LogForwarder {
 public:
  struct Line {
    std::string level;
    std::string date;
    std::string file;
    int line = 0;
    std::string text;
  };

  static constexpr std::size_t kDefaultCapacity = 4096;

  // wake runs on the logging thread, under the log lock: it must only post.
  explicit LogForwarder(std::function<void()> wake, std::size_t capacity = kDefaultCapacity);
  // Removes the callback when it is still installed.
  ~LogForwarder();
  LogForwarder(const LogForwarder&) = delete;
  LogForwarder& operator=(const LogForwarder&) = delete;

  // Installs or removes the log callback; removing also empties the queue.
  void enable();
  void disable();
  bool enabled() const { return enabled_; }

  // The queued lines, oldest first, and how many were dropped since the
  // last call.
  std::vector<Line> take(std::uint64_t* dropped);

  // "trace" … "fatal" for levels 0 to 5, "???" for anything else.
  static const char* levelName(int level);

  // While one lives on a thread, that thread's log lines are not queued.
  class Suppress {
   public:
    Suppress();
    ~Suppress();
    Suppress(const Suppress&) = delete;
    Suppress& operator=(const Suppress&) = delete;

   private:
    bool previous_;
  };

 private:
  void queue(int level, const char* date, const char* file, int line, const char* text);

  std::function<void()> wake_;
  const std::size_t capacity_;
  std::mutex mutex_;
  std::deque<Line> lines_;
  std::uint64_t dropped_ = 0;
  std::atomic<bool> enabled_{false};
};
