// A child process started with posix_spawn, its standard output and error
// read through pipes. QProcess starts children with a vfork-like clone in
// which Qt's own code runs through the thread sanitizer's wrappers on the
// parent thread's state, and leaves that state changed: the sanitizer then
// stops seeing the parent thread's locks and reports races on data that
// every thread reaches under one mutex. glibc's posix_spawn child runs none
// of those wrappers, so tests that start helpers this way stay checkable.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace kvn_test {

class SpawnedProcess {
 public:
  // program is looked up in PATH; started() tells whether it runs.
  SpawnedProcess(const std::string& program, const std::vector<std::string>& arguments);
  // Kills the child if it still runs, and reaps it.
  ~SpawnedProcess();
  SpawnedProcess(const SpawnedProcess&) = delete;
  SpawnedProcess& operator=(const SpawnedProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // The next line of standard output without its end; empty when none
  // came within wait or the output ended.
  std::string readLine(std::chrono::milliseconds wait);
  // The exit code; -1 when the child did not end within wait or died of a
  // signal.
  int finish(std::chrono::milliseconds wait);
  // Standard output not yet read, then standard error, without waiting.
  std::string rest();

 private:
  // Reads what either pipe holds, waiting at most waitMs for anything;
  // false when nothing came and no stream ended.
  bool pump(int waitMs);

  pid_t pid_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string output_;
  std::string errors_;
  int exitCode_ = -1;
  bool reaped_ = false;
};

// Runs program to its end with its output discarded; the exit code, -1 when
// it could not start, died of a signal or ran longer than wait.
int runProgram(const std::string& program, const std::vector<std::string>& arguments,
               std::chrono::milliseconds wait = std::chrono::seconds(30));

}  // namespace kvn_test
