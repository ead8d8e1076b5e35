#include "kvn_common/file_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <memory>

#include "kvn_log/exception.h"

namespace kvn_common {

namespace {

// Closes the descriptor on every way out of read(), exceptions included.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

}  // namespace

void FileSource::read(const std::string& path) {
  const Descriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    KLOG_E("CreateFile error: %lu", static_cast<unsigned long>(errno));
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "Could not open input file");
  }
  // A small file costs one small buffer. A large one goes on in large
  // blocks: every block is a read and, down the chain, a hand-off to the
  // signature thread, each a system call this machine charges dearly for.
  std::unique_ptr<char[]> buffer(new char[kBlockSize]);
  std::uint32_t blockSize = kBlockSize;
  for (;;) {
    if (stopFlag_ != nullptr && stopFlag_->load()) {
      throw KvnCommonException(KVN_HERE, KVN_E_STOPPED, "Stopped by user");
    }
    const ssize_t got = ::read(file.get(), buffer.get(), blockSize);
    if (got < 0) {
      if (errno == EINTR) continue;
      KLOG_E("ReadFile error: %lu", static_cast<unsigned long>(errno));
      throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "Error while reading file");
    }
    if (got == 0) break;
    forward().write(buffer.get(), static_cast<std::uint32_t>(got));
    if (blockSize == kBlockSize && got == kBlockSize) {
      buffer.reset(new char[kLargeBlockSize]);
      blockSize = kLargeBlockSize;
    }
  }
  forward().end();
}

}  // namespace kvn_common
