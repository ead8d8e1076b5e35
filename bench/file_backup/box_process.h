// The simulated box as a child process, so that the benchmark process
// holds nothing but the agent: its peak memory is the agent's, and the
// box's work (decrypting, inflating, patching, storing) runs beside it as
// a real box would. Its output goes to a file that is also read back to
// count the versions the box stored.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace kvn_bench {

// Versions the box reported as stored since the last call of
// BoxProcess::takeStored().
struct StoredCount {
  long full = 0;
  long delta = 0;
};

class BoxProcess {
 public:
  BoxProcess() = default;
  BoxProcess(const BoxProcess&) = delete;
  BoxProcess& operator=(const BoxProcess&) = delete;
  ~BoxProcess() { stop(); }

  // Starts program with arguments, its output in logPath, and waits for
  // its "boxsim ready" line. False (with the reason in error()) when it
  // did not start, exited, or did not get ready within the time limit.
  bool start(const std::string& program, const std::vector<std::string>& arguments,
             const std::string& logPath) {
    logPath_ = logPath;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
    // KVN_BENCH_BOX_WRAPPER runs the box under another program (words
    // split at blanks), e.g. a profiler: "valgrind --tool=callgrind".
    std::vector<std::string> words;
    if (const char* wrapper = std::getenv("KVN_BENCH_BOX_WRAPPER")) {
      std::istringstream split(wrapper);
      for (std::string word; split >> word;) words.push_back(word);
    }
    words.push_back(program);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    const int failed = posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (failed != 0) {
      error_ = "cannot start " + program + ": " + std::strerror(failed);
      pid_ = -1;
      return false;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
      if (output().find("boxsim ready") != std::string::npos) return true;
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        error_ = "boxsim exited before it was ready:\n" + output();
        return false;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    error_ = "boxsim did not get ready within 60 s:\n" + output();
    return false;
  }

  // SIGTERM, then waits for the end.
  void stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
  }

  bool running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
    pid_ = -1;
    return false;
  }

  // Counts the "stored <path> v<n> <size> bytes (full|delta)" lines that
  // appeared since the previous call.
  StoredCount takeStored() {
    StoredCount count;
    const std::string text = output();
    std::istringstream lines(text.substr(std::min(consumed_, text.size())));
    std::string line;
    std::size_t used = consumed_;
    while (std::getline(lines, line)) {
      if (lines.eof()) break;  // a line still being written
      used += line.size() + 1;
      if (line.rfind("stored ", 0) != 0) continue;
      if (line.ends_with("(full)")) ++count.full;
      if (line.ends_with("(delta)")) ++count.delta;
    }
    consumed_ = used;
    return count;
  }

  // User plus system CPU seconds the box has used so far; -1 when it is
  // not running.
  double cpuSeconds() const {
    if (pid_ <= 0) return -1;
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // The command name may hold blanks; the fields count from after it.
    const std::size_t end = text.rfind(')');
    if (end == std::string::npos) return -1;
    std::istringstream fields(text.substr(end + 2));
    std::string field;
    long long user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
      if (i == 14) user = std::stoll(field);
      if (i == 15) system = std::stoll(field);
    }
    return double(user + system) / double(::sysconf(_SC_CLK_TCK));
  }

  const std::string& error() const { return error_; }
  const std::string& logPath() const { return logPath_; }

 private:
  std::string output() const {
    std::ifstream in(logPath_, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
  }

  pid_t pid_ = -1;
  std::string logPath_;
  std::string error_;
  std::size_t consumed_ = 0;
};

}  // namespace kvn_bench
