#include "device_file.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace kvn_snapshot {

DeviceFile::~DeviceFile() { close(); }

bool DeviceFile::open(const QString& path, int attempts, int* error) {
  close();
  const QByteArray native = path.toLocal8Bit();
  for (int attempt = 0; attempt < attempts; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::seconds(1));
    fd_ = ::open(native.constData(), O_RDONLY | O_CLOEXEC);
    if (fd_ >= 0) return true;
    *error = errno;
  }
  return false;
}

void DeviceFile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool DeviceFile::size(std::uint64_t* bytes, int* error) const {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) {
    *error = errno;
    return false;
  }
  if (S_ISBLK(st.st_mode)) {
    if (::ioctl(fd_, BLKGETSIZE64, bytes) != 0) {
      *error = errno;
      return false;
    }
    return true;
  }
  *bytes = static_cast<std::uint64_t>(st.st_size);
  return true;
}

std::int64_t DeviceFile::readAt(std::uint64_t offset, void* data, std::uint64_t length) const {
  auto* out = static_cast<char*>(data);
  std::uint64_t done = 0;
  while (done < length) {
    const ssize_t got = ::pread(fd_, out + done, length - done, static_cast<off_t>(offset + done));
    if (got < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<std::uint64_t>(got);
  }
  return static_cast<std::int64_t>(done);
}

bool deviceSize(const QString& path, std::uint64_t* bytes, int* error) {
  DeviceFile file;
  return file.open(path, 1, error) && file.size(bytes, error);
}

}  // namespace kvn_snapshot
