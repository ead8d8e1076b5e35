// The contract between the service and a snapshot library. The library is
// loaded at run time and hands out one Vss object per backup run through its
// only export, vssCreateInstance. The slot order below is part of the binary
// contract: add nothing, reorder nothing.
//
// On this build a volume text is a mount point ("/", "/home", "/srv/data")
// and a snapshot path is the folder that shows that mount point's root as it
// was when the snapshot was taken, both as the agent's text paths
// (kvn_platform/text_path_qt.h). The device level, for system images: a
// volume text that names a block device or an image file gets as snapshot
// path a device or file with the volume's bytes as they were (or, where no
// point-in-time copy can be had, the live device, with a warning).
#pragma once

#include <QString>
#include <QStringList>

#define KVN_VSS_EXPORT __attribute__((visibility("default")))

namespace kvn_vss {

class Vss {
 public:
  // Deletes a snapshot set that is still there.
  virtual ~Vss() = default;
  // Once per object, before anything else.
  virtual bool initialize() = 0;
  // Snapshots every volume it can; false when any volume has none (the others
  // still have theirs).
  virtual bool CreateShadowVolume(const QStringList& volumes) = 0;
  // True when there was nothing to delete.
  virtual bool DeleteShadowVolume() = 0;
  // The snapshot root for exactly the text given to CreateShadowVolume, or an
  // empty text when that volume has no snapshot.
  virtual QString getSnapshotPath(const QString& volume) = 0;
};

// The type of the library's factory as the loader resolves it. The caller
// owns and deletes the object; null only when allocation fails.
using VssCreateInstanceFn = Vss* (*)();

}  // namespace kvn_vss

extern "C" KVN_VSS_EXPORT kvn_vss::Vss* vssCreateInstance();
