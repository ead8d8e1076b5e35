// The one Vss implementation of every snapshot library. It holds the set's
// bookkeeping and its log lines; the making of the views is the
// SnapshotMaker's job.
#pragma once

#include <QHash>
#include <QUuid>
#include <memory>

#include "kvn_vss/vss.h"
#include "snapshot_maker.h"

namespace kvn_vss {

class VssImpl : public Vss {
 public:
  explicit VssImpl(std::unique_ptr<SnapshotMaker> maker);
  ~VssImpl() override;

  bool initialize() override;
  bool CreateShadowVolume(const QStringList& volumes) override;
  bool DeleteShadowVolume() override;
  QString getSnapshotPath(const QString& volume) override;

 private:
  // Both expect the library's mutex to be held.
  bool createSet(const QStringList& volumes);
  bool deleteSet();

  std::unique_ptr<SnapshotMaker> maker_;
  bool initialized_ = false;
  bool snapshotSetActive_ = false;
  QUuid snapshotSetId_;
  // Volume text, as given to CreateShadowVolume → snapshot root.
  QHash<QString, QString> snapshotPaths_;
};

// What a library's vssCreateInstance returns: nothing may be thrown through
// the C entry point, so a failed allocation gives null.
template <typename Maker>
Vss* createVss() noexcept {
  try {
    return new VssImpl(std::make_unique<Maker>());
  } catch (...) {
    return nullptr;
  }
}

}  // namespace kvn_vss
