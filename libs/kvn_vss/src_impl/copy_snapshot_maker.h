// The views of the test library: a real frozen copy of each volume folder,
// so that a test can prove the backup reads the snapshot and not the live
// files. Driven by environment variables read when a set starts:
//   KVN_TEST_SNAPSHOT_FAIL        volumes (separated by ':') refused by
//                                 AddToSnapshotSet
//   KVN_TEST_SNAPSHOT_DIR         where the copies are made (default: a fresh
//                                 folder under the temporary folder)
//   KVN_TEST_SNAPSHOT_READY_FILE  written once the copies exist, one line
//                                 "<volume>\t<snapshot root>" per volume
//   KVN_TEST_SNAPSHOT_HOLD        when set, CreateShadowVolume then waits
//                                 until the ready file is removed, so that the
//                                 test can change live files meanwhile
#pragma once

#include <QStringList>

#include "snapshot_maker.h"

namespace kvn_vss {

class CopySnapshotMaker : public SnapshotMaker {
 public:
  bool start(const QUuid& setId, QString* reason) override;
  bool add(const QString& volume, QString* reason) override;
  QString take(const QString& volume, QString* reason) override;
  void taken(const QHash<QString, QString>& roots) override;
  bool destroy(QString* reason) override;

 private:
  void writeReadyFile(const QHash<QString, QString>& roots) const;

  QStringList refused_;
  QString readyFile_;
  bool hold_ = false;
  // Removed when the set goes: the set's own folder, or the whole base
  // folder when this set created it.
  QString ownedFolder_;
  QString setFolder_;
  int copies_ = 0;
};

}  // namespace kvn_vss
