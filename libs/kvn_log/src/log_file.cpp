#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <mutex>
#include <system_error>

#include "console.h"
#include "log_state.h"

namespace kvn_log {

namespace fs = std::filesystem;

namespace {

constexpr std::uintmax_t kRotateAbove = 0x4FFFFF;
constexpr int kRotatedFiles = 5;

std::string numbered(const std::string& path, int n) { return path + "." + std::to_string(n); }

bool exists(const std::string& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

}  // namespace

namespace detail {

bool redirectLocked(LogState& s, const std::string& path) {
  // Open first and then dup2 over descriptors 1 and 2, so that a file that
  // cannot be opened leaves the current output in place.
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
  if (fd < 0) return false;
  std::fflush(stdout);
  std::fflush(stderr);
  const bool ok = ::dup2(fd, STDOUT_FILENO) >= 0 && ::dup2(fd, STDERR_FILENO) >= 0;
  ::close(fd);
  std::clearerr(stdout);
  std::clearerr(stderr);
  std::cout.clear();
  std::cerr.clear();
  std::wcout.clear();
  std::wcerr.clear();
  if (ok) s.logFilePath = path;
  s.colored = s.colorRequested && console::isTerminal(stdout);
  return ok;
}

}  // namespace detail

bool setLogFile(const std::string& path) {
  auto& s = detail::state();
  std::lock_guard lock(s.mutex);
  return detail::redirectLocked(s, path);
}

std::string logFilePath() {
  auto& s = detail::state();
  std::lock_guard lock(s.mutex);
  return s.logFilePath;
}

void rotateIfNeeded() {
  auto& s = detail::state();
  std::lock_guard lock(s.mutex);
  const std::string path = s.logFilePath;
  if (path.empty() || !exists(path)) return;

  std::error_code ec;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec || size <= kRotateAbove) return;

  std::fflush(stdout);
  std::fflush(stderr);

  // Only the rotated files up to the first gap move; a full set loses its
  // oldest member. Failures are ignored: the log is reopened in every case.
  int n = 1;
  while (exists(numbered(path, n)) && n < kRotatedFiles) ++n;
  if (n == kRotatedFiles) fs::remove(numbered(path, kRotatedFiles), ec);
  for (int k = n; k >= 2; --k) fs::rename(numbered(path, k - 1), numbered(path, k), ec);
  fs::rename(path, numbered(path, 1), ec);

  detail::redirectLocked(s, path);
}

}  // namespace kvn_log
