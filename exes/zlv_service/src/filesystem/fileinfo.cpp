#include "filesystem/fileinfo.h"

#include <QDir>
#include <cstring>
#include <vector>

#include "kvn_log/exception.h"
#include "kvn_log/log.h"
#include "kvn_platform/text_path_qt.h"

namespace kvn_agent_filesystem {

using kvn_platform::toNativePath;
using kvn_platform::toTextPath;

namespace {

std::optional<kvn_platform::FileStatus> readStatus(const QString& path) {
  kvn_platform::FileStatus status;
  int error = 0;
  if (kvn_platform::fileStatus(toNativePath(path), status, &error)) return status;
  // A missing file is an ordinary answer; anything else is worth a line.
  if (error != ENOENT && error != ENOTDIR) {
    KLOG_W("statx(%s) failed: %d (%s)", qPrintable(path), error, std::strerror(error));
  }
  return std::nullopt;
}

QString mountPointFromTable(const QString& path) {
  std::vector<kvn_platform::MountEntry> mounts;
  int error = 0;
  if (!kvn_platform::readMountTable(mounts, &error)) {
    KLOG_W("cannot read the mount table: %s", std::strerror(error));
    return QStringLiteral("/");
  }
  return toTextPath(kvn_platform::mountPointOf(mounts, toNativePath(path)));
}

}  // namespace

QString snapshotReadPath(const QString& path, const QString& snapshotRoot,
                         const QString& mountPoint) {
  QString relative = mountPoint == u'/' ? path : path.mid(mountPoint.size());
  if (!relative.startsWith(u'/')) relative.prepend(u'/');
  QString root = snapshotRoot;
  while (root.endsWith(u'/')) root.chop(1);
  return QDir::toNativeSeparators(root + relative);
}

KvnFileInfoBase::KvnFileInfoBase(const QString& path) : path_(path), status_(readStatus(path)) {}

KvnFileInfoBase::KvnFileInfoBase(const QString& path,
                                 std::optional<kvn_platform::FileStatus> status)
    : path_(path), status_(std::move(status)) {}

bool KvnFileInfoBase::isDirectory() const {
  return status_ && (status_->attributes & kvn_platform::kAttributeDirectory);
}

std::int64_t KvnFileInfoBase::size() const { return status_ ? status_->size : -1; }

QDateTime KvnFileInfoBase::lastModified() const {
  if (!status_ || !status_->hasLastWrite) return {};
  return QDateTime::fromSecsSinceEpoch(status_->lastWrite, Qt::UTC);
}

bool KvnFileInfoBase::exists() const { return status_.has_value(); }

QString KvnFileInfoBase::fileName() const { return path_.mid(path_.lastIndexOf(u'/') + 1); }

bool KvnFileInfoBase::isRegularFile() const {
  return status_ && status_->kind == kvn_platform::FileKind::Regular;
}

bool KvnFileInfoBase::isSymLink() const {
  return status_ && status_->kind == kvn_platform::FileKind::SymLink;
}

KvnFileInfoWindows::KvnFileInfoWindows(const QString& path, const QString& snapshotRoot,
                                       const QDateTime& snapshotTime, const QString& mountPoint)
    : KvnFileInfoBase(path, std::nullopt),
      snapshotRoot_(snapshotRoot),
      snapshotTime_(snapshotTime),
      mountPoint_(mountPoint) {
  if (snapshotRoot_.isEmpty()) {
    readPath_ = path_;
  } else {
    if (mountPoint_.isEmpty()) mountPoint_ = mountPointFromTable(path_);
    readPath_ = snapshotReadPath(path_, snapshotRoot_, mountPoint_);
  }
  status_ = readStatus(readPath_);
  if (status_ && kvn_log::enabled(kvn_log::Trace)) {
    KLOG_T("statx(%s): %x", qPrintable(readPath_), status_->attributes);
  }
}

KvnFileInfoWindows::KvnFileInfoWindows(const kvn_platform::FileStatus& status, const QString& path,
                                       const QString& snapshotRoot, const QDateTime& snapshotTime,
                                       const QString& mountPoint)
    : KvnFileInfoBase(path, status),
      snapshotRoot_(snapshotRoot),
      snapshotTime_(snapshotTime),
      mountPoint_(mountPoint),
      readPath_(snapshotRoot.isEmpty() ? path : snapshotReadPath(path, snapshotRoot, mountPoint)) {}

QDateTime KvnFileInfoWindows::lastModified() const {
  if (snapshotRoot_.isEmpty()) return KvnFileInfoBase::lastModified();
  if (status_ && status_->hasLastWrite) {
    return QDateTime::fromSecsSinceEpoch(status_->lastWrite, Qt::UTC);
  }
  if (snapshotTime_.isValid()) {
    KLOG_W("Using vss date for %s", qPrintable(readPath_));
    return snapshotTime_;
  }
  throw KvnCommonException(
      KVN_HERE, KVN_E_EXCEPTION,
      QString("Invalid timestamp for file in vss: %1").arg(readPath_).toStdString());
}

bool KvnFileInfoWindows::isReparsePoint() const {
  return status_ && (status_->attributes & kvn_platform::kAttributeReparsePoint);
}

bool KvnFileInfoWindows::reparseTarget(QString& target) const {
  std::string native;
  if (!kvn_platform::reparseTarget(toNativePath(readPath_), native)) return false;
  target = toTextPath(native);
  return true;
}

std::int64_t KvnFileInfoWindows::lastWriteFromFile() const {
  std::optional<kvn_platform::FileStatus> read;
  return lastWriteFromFile(read);
}

std::int64_t KvnFileInfoWindows::lastWriteFromFile(
    std::optional<kvn_platform::FileStatus>& read) const {
  kvn_platform::FileStatus status;
  if (kvn_platform::fileStatus(toNativePath(readPath_), status, nullptr) && status.hasLastWrite) {
    read = status;
    return status.lastWrite;
  }
  read.reset();
  return lastModified().toSecsSinceEpoch();
}

}  // namespace kvn_agent_filesystem
