// The production views: a read-only btrfs snapshot of each volume that is
// the root of a btrfs subvolume, and the live folder for any other volume;
// for a device (system images) an LVM snapshot, or the live device.
#pragma once

#include <string>
#include <vector>

#include "lvm_snapshots.h"
#include "snapshot_maker.h"
#include "unique_fd.h"

namespace kvn_vss {

class BtrfsSnapshotMaker : public SnapshotMaker {
 public:
  // The hidden folder, inside each snapshot volume, that holds its snapshots.
  static constexpr const char* kSnapshotFolder = ".zelvo-snapshots";

  bool start(const QUuid& setId, QString* reason) override;
  bool add(const QString& volume, QString* reason) override;
  QString take(const QString& volume, QString* reason) override;
  bool destroy(QString* reason) override;

 private:
  struct Snapshot {
    QString volume;
    UniqueFd volumeFd;
    UniqueFd folderFd;  // the hidden folder
  };

  // The snapshot root, or an empty text with *why set when btrfs could not
  // give one (why stays empty when the volume is not on btrfs at all).
  QString snapshot(const QString& volume, QString* why);
  // Makes the snapshot ready to be read: without the hidden folder and
  // read-only.
  bool seal(const QString& volume, int folderFd, QString* why);
  bool destroyOne(Snapshot& snapshot, QString* reason);

  std::string name_;
  std::vector<Snapshot> made_;
  LvmSnapshots lvm_;
};

}  // namespace kvn_vss
