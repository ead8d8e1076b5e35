#include "device_copy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QFile>
#include <algorithm>
#include <vector>

#include "os_error.h"
#include "unique_fd.h"

namespace kvn_vss {

namespace {

constexpr std::size_t kCopyBuffer = 1 << 20;

bool allZero(const char* data, std::size_t size) {
  return std::all_of(data, data + size, [](char c) { return c == 0; });
}

}  // namespace

bool copyDevice(const QString& source, const QString& target, QString* reason) {
  UniqueFd in(::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC));
  if (!in.valid()) {
    *reason = QString("cannot open %1: %2").arg(source, osErrorText(errno));
    return false;
  }
  UniqueFd out(::open(QFile::encodeName(target).constData(),
                      O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (!out.valid()) {
    *reason = QString("cannot create %1: %2").arg(target, osErrorText(errno));
    return false;
  }
  if (::ioctl(out.get(), FICLONE, in.get()) == 0) return true;
  std::vector<char> buffer(kCopyBuffer);
  off_t size = 0;
  for (;;) {
    const ssize_t n = ::read(in.get(), buffer.data(), buffer.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      *reason = QString("cannot read %1: %2").arg(source, osErrorText(errno));
      return false;
    }
    if (n == 0) break;
    if (!allZero(buffer.data(), std::size_t(n))) {
      for (ssize_t done = 0; done < n;) {
        const ssize_t w =
            ::pwrite(out.get(), buffer.data() + done, std::size_t(n - done), size + done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) {
          *reason = QString("cannot write %1: %2").arg(target, osErrorText(errno));
          return false;
        }
        done += w;
      }
    }
    size += n;
  }
  if (::ftruncate(out.get(), size) != 0) {
    *reason = QString("cannot size %1: %2").arg(target, osErrorText(errno));
    return false;
  }
  return true;
}

}  // namespace kvn_vss
