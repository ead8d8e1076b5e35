// What the file-backup benchmark measures besides the runs themselves:
// the process's peak memory per case, the time at which the agent reached
// each phase (taken from its own log lines), and the reference pipeline
// tar | gzip -1 | openssl enc over the same tree.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "kvn_log/log.h"

namespace kvn_bench {

using Clock = std::chrono::steady_clock;

inline double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU seconds (user + system) of this process, or with who =
// RUSAGE_CHILDREN of its finished children.
inline double cpuSeconds(int who = RUSAGE_SELF) {
  rusage usage{};
  ::getrusage(who, &usage);
  const auto seconds = [](const timeval& t) { return double(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Context switches of this process so far, voluntary or not: each time a
// thread waits for another (or for the box) counts one.
inline long contextSwitches() {
  rusage usage{};
  ::getrusage(RUSAGE_SELF, &usage);
  return usage.ru_nvcsw + usage.ru_nivcsw;
}

// The one-, five- and fifteen-minute load averages, or nothing: wall times
// are read next to them.
inline std::vector<double> loadAverages() {
  double loads[3] = {};
  std::FILE* file = std::fopen("/proc/loadavg", "r");
  const bool read =
      file != nullptr && std::fscanf(file, "%lf %lf %lf", &loads[0], &loads[1], &loads[2]) == 3;
  if (file != nullptr) std::fclose(file);
  if (!read) return {};
  return {loads[0], loads[1], loads[2]};
}

// The one-minute load average, or -1.
inline double loadAverage() {
  const std::vector<double> loads = loadAverages();
  return loads.empty() ? -1 : loads[0];
}

// The three load averages as text, "unknown" when they cannot be read.
inline std::string loadAveragesText() {
  const std::vector<double> loads = loadAverages();
  if (loads.empty()) return "unknown";
  char text[64];
  std::snprintf(text, sizeof text, "%.2f %.2f %.2f", loads[0], loads[1], loads[2]);
  return text;
}

// The resident-set high-water mark of this process (VmHWM), in KiB; 0
// when it cannot be read.
inline long peakResidentKiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return 0;
}

// Starts a new high-water mark at the current resident size, so that each
// case reports its own peak. False when the kernel refuses.
inline bool resetPeakResident() {
  std::ofstream clear("/proc/self/clear_refs");
  clear << "5";
  clear.flush();
  return static_cast<bool>(clear);
}

// The agent's information lines, each with the time since start() at
// which it was logged; the log's own time stamps only have seconds.
class PhaseLog {
 public:
  void install() {
    kvn_log::setCallback(
        [this](kvn_log::Level, const char*, const char*, int, const char* message) {
          std::lock_guard lock(mutex_);
          if (recording_) lines_.emplace_back(secondsSince(start_), message);
        });
  }

  // Starts recording; the time returned is the zero of the lines' times.
  Clock::time_point start() {
    std::lock_guard lock(mutex_);
    lines_.clear();
    start_ = Clock::now();
    recording_ = true;
    return start_;
  }

  // The lines logged since start(); stops recording.
  std::vector<std::pair<double, std::string>> take() {
    std::lock_guard lock(mutex_);
    recording_ = false;
    return std::move(lines_);
  }

  // Seconds at which the first line starting with prefix was logged; -1
  // when there was none.
  // Seconds from each line starting with prefix to the line after it, in
  // total, and how many there were.
  static std::pair<double, int> after(const std::vector<std::pair<double, std::string>>& lines,
                                      const std::string& prefix) {
    double total = 0;
    int count = 0;
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
      if (lines[i].second.rfind(prefix, 0) != 0) continue;
      total += lines[i + 1].first - lines[i].first;
      ++count;
    }
    return {total, count};
  }

  static double at(const std::vector<std::pair<double, std::string>>& lines,
                   const std::string& prefix) {
    for (const auto& [time, text] : lines)
      if (text.rfind(prefix, 0) == 0) return time;
    return -1;
  }

 private:
  std::mutex mutex_;
  bool recording_ = false;
  Clock::time_point start_;
  std::vector<std::pair<double, std::string>> lines_;
};

struct PipelineTime {
  double seconds = -1;  // wall clock; negative when the pipeline failed
  double cpu = 0;       // of all its processes
};

// tar c | gzip -1 | openssl enc -aes-256-cbc over folder, output discarded.
inline PipelineTime timePipeline(const std::string& folder) {
  const std::string command = "set -o pipefail; tar c -C '" + folder +
                              "' . | gzip -1 | openssl enc -aes-256-cbc -pass pass:x -pbkdf2 "
                              "> /dev/null";
  const std::string shell = "bash -c \"" + command + "\"";
  const double cpuBefore = cpuSeconds(RUSAGE_CHILDREN);
  const auto start = Clock::now();
  const int status = std::system(shell.c_str());
  PipelineTime time;
  time.seconds = status == 0 ? secondsSince(start) : -1;
  time.cpu = cpuSeconds(RUSAGE_CHILDREN) - cpuBefore;
  return time;
}

}  // namespace kvn_bench
