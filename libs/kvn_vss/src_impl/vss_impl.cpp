#include "vss_impl.h"

#include <exception>
#include <mutex>

#include "kvn_log/log.h"

namespace kvn_vss {

namespace {

// One per loaded library: snapshot creation and deletion are strictly
// sequential across every object the library hands out.
std::mutex& libraryMutex() {
  static std::mutex mutex;
  return mutex;
}

QByteArray idText(const QUuid& id) { return id.toByteArray(QUuid::WithBraces); }

}  // namespace

VssImpl::VssImpl(std::unique_ptr<SnapshotMaker> maker) : maker_(std::move(maker)) {}

VssImpl::~VssImpl() {
  std::lock_guard lock(libraryMutex());
  deleteSet();
}

bool VssImpl::initialize() {
  // Nothing needs setting up per thread on this platform; the flag keeps the
  // once-per-object contract visible.
  std::lock_guard lock(libraryMutex());
  initialized_ = true;
  return true;
}

bool VssImpl::CreateShadowVolume(const QStringList& volumes) {
  std::lock_guard lock(libraryMutex());
  // Nothing may escape into the service through the C entry point.
  try {
    return createSet(volumes);
  } catch (const std::exception& e) {
    KLOG_E("CreateShadowVolume: exception %s", e.what());
  }
  deleteSet();
  return false;
}

bool VssImpl::createSet(const QStringList& volumes) {
  // A second set on the same object would otherwise leave the first behind.
  if (snapshotSetActive_ && !deleteSet()) return false;

  snapshotSetId_ = QUuid::createUuid();
  QString reason;
  KLOG_I("VSS: Calling StartSnapshotSet...");
  if (!maker_->start(snapshotSetId_, &reason)) {
    KLOG_E("CreateShadowVolume: StartSnapshotSet fails: %s", qPrintable(reason));
    return false;
  }
  snapshotSetActive_ = true;

  bool result = true;
  QStringList added;
  for (const QString& volume : volumes) {
    KLOG_I("VSS: AddToSnapshotSet %s", qPrintable(volume));
    if (added.contains(volume)) continue;  // one view serves every mention
    if (!maker_->add(volume, &reason)) {
      KLOG_E("CreateShadowVolume: AddToSnapshotSet fails: %s", qPrintable(reason));
      result = false;
      continue;
    }
    added << volume;
  }

  KLOG_I("VSS: Taking snapshots...");
  for (const QString& volume : added) {
    const QString root = maker_->take(volume, &reason);
    if (root.isEmpty()) {
      KLOG_E("CreateShadowVolume: DoSnapshotSet fails for %s: %s", qPrintable(volume),
             qPrintable(reason));
      result = false;
      continue;
    }
    KLOG_I("Snapshot: Snapshot Set Id %s", idText(snapshotSetId_).constData());
    KLOG_I("Snapshot: OriginalVolumeName : %s", qPrintable(volume));
    KLOG_I("Snapshot: ExposedPath : %s", qPrintable(root));
    snapshotPaths_.insert(volume, root);
  }
  maker_->taken(snapshotPaths_);
  return result;
}

bool VssImpl::DeleteShadowVolume() {
  std::lock_guard lock(libraryMutex());
  return deleteSet();
}

bool VssImpl::deleteSet() {
  if (!snapshotSetActive_) return true;
  snapshotPaths_.clear();
  KLOG_D("VSS: DeleteSnapshots...");
  QString reason;
  bool ok = false;
  try {
    ok = maker_->destroy(&reason);
  } catch (const std::exception& e) {
    reason = QString::fromLocal8Bit(e.what());
  }
  snapshotSetActive_ = false;
  if (!ok) KLOG_E("DeleteShadowVolume: DeleteSnapshots fails: %s", qPrintable(reason));
  return ok;
}

// The object belongs to one run's thread; the library's mutex is only for
// what touches the file systems.
QString VssImpl::getSnapshotPath(const QString& volume) { return snapshotPaths_.value(volume); }

}  // namespace kvn_vss
