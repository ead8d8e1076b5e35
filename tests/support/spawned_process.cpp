#include "spawned_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <thread>

extern char** environ;

namespace kvn_test {

namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

void closePipe(int (&ends)[2]) {
  closeFd(ends[0]);
  closeFd(ends[1]);
}

// A write to a pipe whose reader is gone raises SIGPIPE, which would end
// the test: the signal is held on this thread during the write and taken
// back if the write raised it.
ssize_t writeWithoutSigpipe(int fd, const char* data, std::size_t size) {
  sigset_t pipeOnly;
  sigset_t before;
  sigemptyset(&pipeOnly);
  sigaddset(&pipeOnly, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipeOnly, &before);
  const ssize_t n = ::write(fd, data, size);
  if (n < 0 && errno == EPIPE) {
    const timespec none{};
    while (::sigtimedwait(&pipeOnly, nullptr, &none) < 0 && errno == EINTR) {
    }
    errno = EPIPE;
  }
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  return n;
}

}  // namespace

SpawnedProcess::SpawnedProcess(const std::string& program,
                               const std::vector<std::string>& arguments,
                               const SpawnOptions& options) {
  int in[2] = {-1, -1};
  int out[2] = {-1, -1};
  int err[2] = {-1, -1};
  if ((options.input && ::pipe2(in, O_CLOEXEC) != 0) || ::pipe2(out, O_CLOEXEC) != 0 ||
      (!options.mergeErrors && ::pipe2(err, O_CLOEXEC) != 0) ||
      (in[1] >= 0 && ::fcntl(in[1], F_SETFL, O_NONBLOCK) != 0)) {
    startError_ = errno;
    closePipe(in);
    closePipe(out);
    closePipe(err);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in[0] >= 0) posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, options.mergeErrors ? out[1] : err[1], STDERR_FILENO);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  startError_ = ::posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  closeFd(in[0]);
  closeFd(out[1]);
  closeFd(err[1]);
  if (startError_ != 0) {
    closePipe(in);
    closePipe(out);
    closePipe(err);
    return;
  }
  pid_ = pid;
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
  if (options.input) input_ = *options.input;
  feed();
}

SpawnedProcess::~SpawnedProcess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
  closeFd(in_);
  closeFd(out_);
  closeFd(err_);
}

void SpawnedProcess::terminate() {
  // Not yet reaped, the number is still this child's.
  if (pid_ > 0 && !reaped_) ::kill(pid_, SIGTERM);
}

void SpawnedProcess::feed() {
  while (in_ >= 0 && inputSent_ < input_.size()) {
    const ssize_t n =
        writeWithoutSigpipe(in_, input_.data() + inputSent_, input_.size() - inputSent_);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return;  // the pipe is full: later
    if (n < 0) break;                      // the child stopped reading
    inputSent_ += static_cast<std::size_t>(n);
  }
  closeFd(in_);
}

bool SpawnedProcess::pump(int waitMs) {
  const bool feeding = in_ >= 0;
  pollfd fds[3] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}, {in_, POLLOUT, 0}};
  if (::poll(fds, 3, waitMs) <= 0) return false;
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
  if (feeding && fds[2].revents != 0) {
    feed();
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
  std::string all = output();
  all += errors_;
  errors_.clear();
  return all;
}

std::string SpawnedProcess::output() {
  while (pump(0)) {
  }
  std::string all;
  all.swap(output_);
  return all;
}

int runProgram(const std::string& program, const std::vector<std::string>& arguments,
               std::chrono::milliseconds wait) {
  SpawnedProcess process(program, arguments);
  return process.finish(wait);
}

}  // namespace kvn_test
