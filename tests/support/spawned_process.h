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
#include <optional>
#include <string>
#include <vector>

namespace kvn_test {

struct SpawnOptions {
  // Given to the child on its standard input, which then ends; without,
  // the child shares this process's standard input.
  std::optional<std::string> input;
  // Standard error goes into standard output, in the order written.
  bool mergeErrors = false;
};

class SpawnedProcess {
 public:
  // program is looked up in PATH; started() tells whether it runs.
  SpawnedProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const SpawnOptions& options = {});
  // Kills the child if it still runs, and reaps it.
  ~SpawnedProcess();
  SpawnedProcess(const SpawnedProcess&) = delete;
  SpawnedProcess& operator=(const SpawnedProcess&) = delete;

  bool started() const { return pid_ > 0; }
  // Why the start failed (an errno value); 0 when it did not.
  int startError() const { return startError_; }
  // The next line of standard output without its end; empty when none
  // came within wait or the output ended.
  std::string readLine(std::chrono::milliseconds wait);
  // The exit code; -1 when the child did not end within wait or died of a
  // signal. Feeds the input and collects the output meanwhile.
  int finish(std::chrono::milliseconds wait);
  // Standard output not yet read, then standard error, without waiting.
  std::string rest();
  // Standard output not yet read, without waiting; standard error stays.
  std::string output();
  // True once standard output has ended and all of it was read into here.
  bool outputEnded() const { return out_ < 0; }
  // Asks the child to end (SIGTERM); finish() collects it.
  void terminate();

 private:
  // Feeds the input and reads what either pipe holds, waiting at most
  // waitMs for anything; false when nothing happened.
  bool pump(int waitMs);
  // Writes what the child's standard input takes of the input now.
  void feed();

  pid_t pid_ = -1;
  int startError_ = 0;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  std::string input_;
  std::size_t inputSent_ = 0;
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
