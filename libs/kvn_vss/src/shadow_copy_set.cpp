#include "kvn_log/log.h"
#include "kvn_vss/vss_import.h"
#include "loaded_library.h"

namespace kvn_vss {

ShadowCopySet::ShadowCopySet() = default;

ShadowCopySet::~ShadowCopySet() {
  release();
  destroy();
}

void ShadowCopySet::destroy() {
  // The object's code lives in the library: it goes first.
  vss_.reset();
  pin_.reset();
}

bool ShadowCopySet::create(const QStringList& volumes) {
  destroy();
  pin_ = pinLoadedLibrary();
  if (!pin_) {
    KLOG_E("VSS library not loaded");
    return false;
  }
  vss_.reset(pin_->create()());
  createdAt_ = QDateTime::currentDateTime();
  if (!vss_) {
    KLOG_E("VSS library could not create a snapshot object");
    destroy();
    return false;
  }
  return vss_->initialize() && vss_->CreateShadowVolume(volumes);
}

void ShadowCopySet::release() {
  if (vss_) vss_->DeleteShadowVolume();
}

QString ShadowCopySet::snapshotPath(const QString& volume) const {
  return vss_ ? vss_->getSnapshotPath(volume) : QString();
}

}  // namespace kvn_vss
