#include "spawned_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

extern char** environ;

namespace kvn_test {

namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

SpawnedProcess::SpawnedProcess(const std::string& program,
                               const std::vector<std::string>& arguments) {
  int out[2];
  int err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ) == 0)
    pid_ = pid;
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  out_ = out[0];
  err_ = err[0];
}

SpawnedProcess::~SpawnedProcess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  closeFd(out_);
  closeFd(err_);
}

bool SpawnedProcess::pump(int waitMs) {
  pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
  if (::poll(fds, 2, waitMs) <= 0) return false;
  bool got = false;
  int* ends[2] = {&out_, &err_};
  std::string* into[2] = {&output_, &errors_};
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || fds[i].revents == 0) continue;
    char buffer[4096];
    const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
    if (n > 0) {
      into[i]->append(buffer, std::size_t(n));
    } else {
      closeFd(*ends[i]);  // end of that stream (poll skips negative descriptors)
    }
    got = true;
  }
  return got;
}

std::string SpawnedProcess::readLine(std::chrono::milliseconds wait) {
  const auto end = std::chrono::steady_clock::now() + wait;
  for (;;) {
    const std::size_t newline = output_.find('\n');
    if (newline != std::string::npos) {
      std::string line = output_.substr(0, newline);
      output_.erase(0, newline + 1);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || (out_ < 0 && err_ < 0)) return {};
    pump(int(left.count()));
  }
}

int SpawnedProcess::finish(std::chrono::milliseconds wait) {
  if (pid_ <= 0) return -1;
  const auto end = std::chrono::steady_clock::now() + wait;
  while (!reaped_) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      break;
    }
    if (done < 0 || std::chrono::steady_clock::now() > end) return -1;
    // Keep the pipes drained so that a chatty child does not block.
    if (!pump(20)) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return exitCode_;
}

std::string SpawnedProcess::rest() {
  while (pump(0)) {
  }
  std::string all = output_ + errors_;
  output_.clear();
  errors_.clear();
  return all;
}

int runProgram(const std::string& program, const std::vector<std::string>& arguments,
               std::chrono::milliseconds wait) {
  SpawnedProcess process(program, arguments);
  return process.finish(wait);
}

}  // namespace kvn_test
