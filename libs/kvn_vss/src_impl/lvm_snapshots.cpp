#include "lvm_snapshots.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QFileInfo>
#include <QProcess>
#include <QUuid>

#include "kvn_log/log.h"

namespace kvn_vss {

namespace {

constexpr int kLvmTimeoutMs = 60000;
// Room the snapshot gets for the writes made while it is read.
constexpr qint64 kMinimumRoom = 64LL << 20;

bool runLvm(const QStringList& arguments, QString* output) {
  QProcess lvm;
  lvm.start(QStringLiteral("lvm"), arguments);
  if (!lvm.waitForFinished(kLvmTimeoutMs) || lvm.exitStatus() != QProcess::NormalExit ||
      lvm.exitCode() != 0) {
    if (output) *output = QString::fromLocal8Bit(lvm.readAllStandardError()).trimmed();
    return false;
  }
  if (output) *output = QString::fromLocal8Bit(lvm.readAllStandardOutput()).trimmed();
  return true;
}

// A logical volume is always a device-mapper node. Anything else (an image
// file, a partition, a loop device) is not worth starting lvm for, which
// takes up to a fifth of a second even when it finds nothing.
bool isDeviceMapperNode(const QString& device) {
  struct stat st {};
  if (::stat(device.toLocal8Bit().constData(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  return QFileInfo::exists(
      QStringLiteral("/sys/dev/block/%1:%2/dm").arg(major(st.st_rdev)).arg(minor(st.st_rdev)));
}

}  // namespace

QString LvmSnapshots::take(const QString& device) {
  if (!isDeviceMapperNode(device)) return liveDevice(device);
  QString fields;
  const bool isVolume = runLvm({"lvs", "--noheadings", "--units", "b", "--nosuffix", "-o",
                                "vg_name,lv_name,vg_free,lv_size", device},
                               &fields);
  const QStringList parts = fields.split(u' ', Qt::SkipEmptyParts);
  if (isVolume && parts.size() == 4) {
    const qint64 free = parts[2].toLongLong();
    const qint64 room = std::max(kMinimumRoom, parts[3].toLongLong() / 10);
    const QString name = "zelvo-" + QUuid::createUuid().toString(QUuid::WithoutBraces).left(8);
    QString error;
    if (free >= room && runLvm({"lvcreate", "-s", "-n", name, "-L", QString("%1b").arg(room),
                                parts[0] + u'/' + parts[1]},
                               &error)) {
      made_.append(parts[0] + u'/' + name);
      return "/dev/" + parts[0] + u'/' + name;
    }
    KLOG_I("no LVM snapshot of %s: %s", qPrintable(device),
           free < room ? "the volume group has no room" : qPrintable(error));
  }
  return liveDevice(device);
}

QString LvmSnapshots::liveDevice(const QString& device) {
  KLOG_W("no point-in-time copy exists for %s: the live device is read", qPrintable(device));
  return device;
}

bool LvmSnapshots::destroy(QString* reason) {
  bool ok = true;
  for (const QString& snapshot : made_) {
    QString error;
    if (runLvm({"lvremove", "-f", snapshot}, &error)) continue;
    ok = false;
    *reason += QString("%1: %2; ").arg(snapshot, error);
  }
  made_.clear();
  return ok;
}

}  // namespace kvn_vss
