// Point-in-time copies of devices for system images: an LVM snapshot of a
// logical volume whose volume group has room for one, else the live device
// (with one warning per volume). Driven through the lvm2 commands.
#pragma once

#include <QString>
#include <QStringList>

namespace kvn_vss {

class LvmSnapshots {
 public:
  // The device to read for device: the snapshot's node, or device itself.
  QString take(const QString& device);
  // Removes every snapshot made; false (with the reasons) when one stays.
  bool destroy(QString* reason);

 private:
  // Warns that device is read without a point-in-time copy; returns it.
  static QString liveDevice(const QString& device);

  QStringList made_;  // "vg/lv" of each snapshot
};

}  // namespace kvn_vss
