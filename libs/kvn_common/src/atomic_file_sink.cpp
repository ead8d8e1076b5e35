#include "kvn_common/atomic_file_sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "kvn_log/exception.h"

namespace kvn_common {

bool syncAndRename(int fd, const std::string& from, const std::string& to) {
  // The data must be on disk before the rename can make it the file.
  if (::fdatasync(fd) != 0) return false;
  return std::rename(from.c_str(), to.c_str()) == 0;
}

bool commitPartFile(const std::string& part, const std::string& path) {
  const int fd = ::open(part.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool done = syncAndRename(fd, part, path);
  const int error = errno;
  ::close(fd);
  errno = error;
  return done;
}

AtomicFileSink::AtomicFileSink(const std::string& path, Flush flush)
    : path_(path), part_(partPath(path)), flush_(flush) {
  fd_ = ::open(part_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) fail("open", errno);
}

AtomicFileSink::~AtomicFileSink() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) ::unlink(part_.c_str());
}

void AtomicFileSink::write(const char* data, std::uint32_t size) {
  if (fd_ < 0) fail("write", EBADF);
  if (!writeAll(fd_, data, size)) fail("write", errno);
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void AtomicFileSink::end() {
  if (fd_ < 0) fail("close", EBADF);
  const bool renamed = flush_ == Flush::BeforeRename
                           ? syncAndRename(fd_, part_, path_)
                           : std::rename(part_.c_str(), path_.c_str()) == 0;
  if (!renamed) fail("close", errno);
  const int fd = fd_;
  fd_ = -1;
  committed_ = true;
  if (::close(fd) != 0) fail("close", errno);
}

void AtomicFileSink::fail(const char* what, int error) {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!committed_) ::unlink(part_.c_str());
  KLOG_E("Could not %s output file: %s (%s)", what, path_.c_str(), std::strerror(error));
  auto e =
      KvnCommonException::formatted(KVN_HERE, "Could not %s output file: %s", what, path_.c_str());
  e.code = KVN_E_SERVER;
  throw e;
}

}  // namespace kvn_common
