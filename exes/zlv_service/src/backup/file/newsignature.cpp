#include "backup/file/newsignature.h"

#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>

NewSignature::NewSignature(const QString& path)
    : file_(QFile::encodeName(path).toStdString(), kvn_common::AtomicFileSink::Flush::None) {}

void NewSignature::write(const char* data, std::uint32_t size) {
  file_.write(data, size);
  if (overflow_) return;
  if (bytes_.size() + size > kKeptLimit) {
    overflow_ = true;
    std::vector<char>().swap(bytes_);
    return;
  }
  bytes_.insert(bytes_.end(), data, data + size);
}

void NewSignature::end() { file_.end(); }

std::optional<std::vector<char>> NewSignature::takeKept() {
  if (overflow_) return std::nullopt;
  return std::move(bytes_);
}

bool SignatureFolders::ensure(const QString& folder) {
  const std::lock_guard<std::mutex> lock(mutex_);
  return ensureLocked(folder);
}

void SignatureFolders::clear() {
  const std::lock_guard<std::mutex> lock(mutex_);
  known_.clear();
}

bool SignatureFolders::ensureLocked(const QString& folder) {
  if (known_.contains(folder)) return true;
  // Each new folder below a known one takes one mkdir.
  const QString parent = QFileInfo(folder).path();
  const bool made = (parent == folder || ensureLocked(parent)) &&
                    (::mkdir(QFile::encodeName(folder).constData(), 0777) == 0 || errno == EEXIST);
  if (!made && !QDir().mkpath(folder)) return false;
  known_.insert(folder);
  return true;
}
