#include "kvn_snapshot/hardware_info.h"

#include <sys/sysinfo.h>

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkInterface>
#include <QSysInfo>
#include <QThread>
#include <cerrno>

#include "kvn_formats/volume_image/hashmap_writer.h"
#include "kvn_log/log.h"
#include "kvn_snapshot/disks.h"
#include "kvn_snapshot/partition_table.h"

namespace kvn_snapshot {

namespace {

QJsonArray networkInterfaces() {
  QJsonArray list;
  for (const QNetworkInterface& nic : QNetworkInterface::allInterfaces()) {
    const auto flags = nic.flags();
    if (!nic.isValid() || nic.hardwareAddress().isEmpty() ||
        flags.testFlag(QNetworkInterface::IsLoopBack)) {
      continue;
    }
    KLOG_D("Interface %s : %s", nic.hardwareAddress().toUtf8().constData(),
           nic.name().toUtf8().constData());
    list.append(QJsonObject{{"name", nic.name()},
                            {"nice_name", nic.humanReadableName()},
                            {"mac", nic.hardwareAddress()},
                            {"up", flags.testFlag(QNetworkInterface::IsUp)},
                            {"running", flags.testFlag(QNetworkInterface::IsRunning)}});
  }
  return list;
}

QJsonObject drives() {
  QJsonObject all;
  for (const DiskInfo& disk : listDisks()) {
    PartitionTable table;
    QString why;
    if (!readPartitionTable(disk.devicePath, &table, &why)) {
      KLOG_E("Failed to open drive %u : %d", static_cast<unsigned>(disk.number), errno);
      continue;
    }
    QJsonObject drive;
    if (disk.removable) drive["removable"] = true;
    if (!disk.bus.isEmpty()) drive["bus"] = disk.bus;
    const QString serial = diskSerialText(table, disk.serial);
    if (!serial.isEmpty()) drive["serial"] = serial;
    if (table.hasBootablePartition()) drive["bootable"] = true;
    all[QStringLiteral("PhysicalDrive%1").arg(disk.number)] = drive;
  }
  return all;
}

}  // namespace

QJsonObject hardwareInfo() {
  QJsonObject info;
  info["arch"] = QSysInfo::currentCpuArchitecture();
  info["cpus"] = QThread::idealThreadCount();
  info["network"] = networkInterfaces();
  struct sysinfo memory {};
  if (::sysinfo(&memory) == 0) {
    const double bytes = static_cast<double>(memory.totalram) * memory.mem_unit;
    KLOG_D("Ram amount : %d MB", static_cast<int>(bytes / (1024 * 1024)));
    info["ram"] = bytes;
  } else {
    KLOG_W("Failed to acquire memory info");
  }
  info["firmware"] = QFileInfo::exists("/sys/firmware/efi") ? "uefi" : "bios";
  info["drives"] = drives();
  return info;
}

bool dumpHardwareInfo(kvn_formats::volume_image::HashmapWriter& writer) {
  const QJsonDocument document(hardwareInfo());
  if (kvn_log::enabled(kvn_log::Trace)) {
    KLOG_T("%s", document.toJson(QJsonDocument::Compact).constData());
  }
  writer.setHardwareInfo(document.toJson(QJsonDocument::Indented));
  return true;
}

}  // namespace kvn_snapshot
