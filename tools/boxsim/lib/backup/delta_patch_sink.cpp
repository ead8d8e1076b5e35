#include "delta_patch_sink.h"

#include <fcntl.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>

#include "kvn_log/exception.h"
#include "kvn_log/log.h"

namespace boxsim {

namespace {

// Copies of a mostly unchanged file come in runs of many blocks, and each
// output block is one basis read and one content write. 256 KiB makes a
// quarter of the calls 64 KiB would; a 1 MiB block no longer stays in the
// processor's cache between the read and the write, and copying through
// it cost three times the kernel time here.
constexpr std::size_t kPatchOutput = 0x40000;

}  // namespace

DeltaPatchSink::DeltaPatchSink(const QString& basisPath, const QString& contentPath)
    : basisPath_(basisPath),
      patch_([this](std::int64_t offset, std::size_t length,
                    char* buffer) { return readBasis(offset, length, buffer); },
             false, kPatchOutput),
      content_(contentPath.toStdString()) {
  patch_.setNext(&counted_);
  counted_.setNext(&content_);
  basis_ = ::open(QFile::encodeName(basisPath).constData(), O_RDONLY | O_CLOEXEC);
  if (basis_ < 0) fail(std::strerror(errno));
}

DeltaPatchSink::~DeltaPatchSink() {
  if (basis_ >= 0) ::close(basis_);
}

void DeltaPatchSink::fail(const char* what) {
  KLOG_W("boxsim: the delta against %s does not apply: %s", qPrintable(basisPath_), what);
  failed_ = true;
}

void DeltaPatchSink::write(const char* data, std::uint32_t size) {
  if (failed_) return;
  try {
    patch_.write(data, size);
  } catch (const KvnCommonException& e) {
    fail(e.what());
  }
}

void DeltaPatchSink::end() {
  ended_ = true;
  if (failed_) return;
  try {
    patch_.end();
  } catch (const KvnCommonException& e) {
    fail(e.what());
  }
}

std::size_t DeltaPatchSink::readBasis(std::int64_t offset, std::size_t length, char* buffer) const {
  for (;;) {
    const ssize_t n = ::pread(basis_, buffer, length, offset);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    throw KvnCommonException::formatted(KVN_HERE, "cannot read the basis at %lld: %s",
                                        static_cast<long long>(offset), std::strerror(errno));
  }
}

}  // namespace boxsim
