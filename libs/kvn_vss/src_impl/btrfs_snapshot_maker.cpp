#include "btrfs_snapshot_maker.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QStorageInfo>
#include <cerrno>
#include <filesystem>

#include "btrfs_subvolume.h"
#include "kvn_log/log.h"
#include "kvn_platform/filesystem.h"
#include "kvn_platform/text_path_qt.h"
#include "os_error.h"
#include "restored_mark.h"

namespace kvn_vss {

namespace {

QString cleanVolume(const QString& volume) { return QDir::cleanPath(volume); }

UniqueFd openFolder(int at, const char* path) {
  return UniqueFd(::openat(at, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// The hidden folder must be the agent's own: anyone else who could write in
// it could swap a snapshot for a folder of their making.
UniqueFd openSnapshotFolder(int volumeFd, QString* why) {
  if (::mkdirat(volumeFd, BtrfsSnapshotMaker::kSnapshotFolder, 0700) != 0 && errno != EEXIST) {
    *why = QString("cannot create %1: %2")
               .arg(BtrfsSnapshotMaker::kSnapshotFolder, osErrorText(errno));
    return {};
  }
  UniqueFd folder = openFolder(volumeFd, BtrfsSnapshotMaker::kSnapshotFolder);
  struct stat st {};
  if (!folder.valid() || ::fstat(folder.get(), &st) != 0) {
    *why =
        QString("cannot open %1: %2").arg(BtrfsSnapshotMaker::kSnapshotFolder, osErrorText(errno));
    return {};
  }
  if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH))) {
    *why = QString("%1 is not the agent's own folder").arg(BtrfsSnapshotMaker::kSnapshotFolder);
    return {};
  }
  return folder;
}

QString joinPath(const QString& folder, const QString& name) {
  return folder.endsWith(u'/') ? folder + name : folder + u'/' + name;
}

}  // namespace

bool BtrfsSnapshotMaker::start(const QUuid& setId, QString* /*reason*/) {
  name_ = setId.toString(QUuid::WithoutBraces).toStdString();
  return true;
}

bool BtrfsSnapshotMaker::add(const QString& volume, QString* reason) {
  if (isDeviceVolume(volume)) return true;
  if (!QDir::isAbsolutePath(volume) ||
      !kvn_platform::isFolder(kvn_platform::toNativePath(volume))) {
    *reason = QString("%1 is not a mounted folder").arg(volume);
    return false;
  }
  return true;
}

QString BtrfsSnapshotMaker::take(const QString& volume, QString* /*reason*/) {
  if (isDeviceVolume(volume)) return lvm_.take(volume);
  // A volume that cannot be frozen is still backed up, from the live files.
  QString why;
  const QString root = snapshot(cleanVolume(volume), &why);
  if (!root.isEmpty()) return root;
  if (!why.isEmpty()) KLOG_I("no btrfs snapshot of %s: %s", qPrintable(volume), qPrintable(why));
  const QByteArray type = QStorageInfo(volume).fileSystemType();
  KLOG_W("no point-in-time copy for %s (file system %s): files are read live", qPrintable(volume),
         type.isEmpty() ? "unknown" : type.constData());
  return cleanVolume(volume);
}

QString BtrfsSnapshotMaker::snapshot(const QString& volume, QString* why) {
  Snapshot made;
  made.volume = volume;
  made.volumeFd = openFolder(AT_FDCWD, kvn_platform::toNativePath(volume).c_str());
  if (!made.volumeFd.valid() || !btrfs::isBtrfs(made.volumeFd.get())) return {};
  if (!btrfs::isSubvolumeRoot(made.volumeFd.get())) {
    *why = "not the root of a subvolume";
    return {};
  }
  made.folderFd = openSnapshotFolder(made.volumeFd.get(), why);
  if (!made.folderFd.valid()) return {};

  struct stat folder {};
  bool nested = false;
  int error = 0;
  if (::fstat(made.folderFd.get(), &folder) != 0) {
    error = errno;
  } else if (!btrfs::hasNestedSubvolumes(made.volumeFd.get(), folder.st_ino, &nested, &error)) {
    // Without the list the snapshot could silently miss whole subtrees.
    *why = QString("cannot list nested subvolumes: %1").arg(osErrorText(error));
  } else if (nested) {
    *why = "it holds nested subvolumes, which a snapshot would show empty";
  } else if (!btrfs::createSnapshot(made.volumeFd.get(), made.folderFd.get(), name_, &error)) {
    *why = QString("snapshot refused: %1").arg(osErrorText(error));
  } else if (!seal(volume, made.folderFd.get(), why)) {
    QString ignored;
    destroyOne(made, &ignored);
  } else {
    const QString root = joinPath(joinPath(volume, kSnapshotFolder), QString::fromStdString(name_));
    made_.push_back(std::move(made));
    return root;
  }
  if (why->isEmpty()) *why = osErrorText(error);
  ::unlinkat(made.volumeFd.get(), kSnapshotFolder, AT_REMOVEDIR);  // only when empty
  return {};
}

bool BtrfsSnapshotMaker::seal(const QString& volume, int folderFd, QString* why) {
  UniqueFd snapshot = openFolder(folderFd, name_.c_str());
  if (!snapshot.valid()) {
    *why = QString("cannot open the snapshot: %1").arg(osErrorText(errno));
    return false;
  }
  // The snapshot's copy of the hidden folder shows other sets' snapshots as
  // empty folders (its own included); what it exposes must be the volume
  // alone, so the copy goes before the snapshot is frozen for good.
  // Through the open snapshot, so that no path lookup can be redirected.
  std::error_code ec;
  std::filesystem::remove_all(
      std::filesystem::path("/proc/self/fd") / std::to_string(snapshot.get()) / kSnapshotFolder,
      ec);
  if (ec) {
    *why = QString("cannot empty the snapshot's %1: %2")
               .arg(kSnapshotFolder, QString::fromStdString(ec.message()));
    return false;
  }
  markRestoredSystem(volume, QStringLiteral("/proc/self/fd/%1").arg(snapshot.get()));
  int error = 0;
  if (!btrfs::makeReadOnly(snapshot.get(), &error)) {
    *why = QString("cannot make the snapshot read-only: %1").arg(osErrorText(error));
    return false;
  }
  return true;
}

bool BtrfsSnapshotMaker::destroyOne(Snapshot& snapshot, QString* reason) {
  int error = 0;
  const bool ok = btrfs::destroySubvolume(snapshot.folderFd.get(), name_, &error);
  if (!ok) {
    *reason = QString("%1/%2/%3: %4")
                  .arg(snapshot.volume, kSnapshotFolder, QString::fromStdString(name_),
                       osErrorText(error));
  }
  // Other sets may still have snapshots there; the folder goes with the last.
  ::unlinkat(snapshot.volumeFd.get(), kSnapshotFolder, AT_REMOVEDIR);
  return ok;
}

bool BtrfsSnapshotMaker::destroy(QString* reason) {
  bool ok = true;
  for (Snapshot& snapshot : made_) {
    QString failure;
    if (!destroyOne(snapshot, &failure)) {
      ok = false;
      *reason += (reason->isEmpty() ? "" : "; ") + failure;
    }
  }
  made_.clear();
  QString lvmFailure;
  if (!lvm_.destroy(&lvmFailure)) {
    ok = false;
    *reason += (reason->isEmpty() ? "" : "; ") + lvmFailure;
  }
  return ok;
}

}  // namespace kvn_vss
