// What the transfer side of a file backup tells the file finder: the stop
// flag, the snapshot time, the snapshot root of each volume and the file
// systems mounted inside selected trees.
#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QPair>
#include <QString>
#include <atomic>

class SnapshotContext {
 public:
  // stop may be null (nothing can stop the run).
  explicit SnapshotContext(const std::atomic<bool>* stop = nullptr) : stop_(stop) {}

  bool stopRequested() const { return stop_ && stop_->load(); }

  void setSnapshotTime(const QDateTime& time) { snapshotTime_ = time; }
  const QDateTime& snapshotTime() const { return snapshotTime_; }

  // Volume key (the mount point of a file system) → root of its snapshot.
  void setSnapshotRoot(const QString& volumeKey, const QString& root) {
    snapshotRoots_.insert(volumeKey, root);
  }
  // Empty when the volume is read live.
  QString snapshotRootOf(const QString& volumeKey) const { return snapshotRoots_.value(volumeKey); }

  // A file system mounted inside a selected tree, with its own snapshot root.
  void addMountPoint(const QString& path, const QString& snapshotRoot) {
    mountPoints_.append({path, snapshotRoot});
  }
  // The first mount point that holds path (at or below it), if any.
  const QPair<QString, QString>* mountPointFor(const QString& path) const {
    for (const auto& entry : mountPoints_) {
      if (path == entry.first || path.startsWith(entry.first + u'/')) return &entry;
    }
    return nullptr;
  }

 private:
  const std::atomic<bool>* stop_;
  QDateTime snapshotTime_;
  QHash<QString, QString> snapshotRoots_;
  QList<QPair<QString, QString>> mountPoints_;
};
