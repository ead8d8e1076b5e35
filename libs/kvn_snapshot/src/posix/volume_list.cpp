#include "kvn_snapshot/volume_list.h"

#include <sys/statvfs.h>

#include <QDir>
#include <QFileInfo>
#include <map>

#include "device_file.h"
#include "ext_file_system.h"
#include "fs_probe.h"
#include "kvn_log/log.h"
#include "kvn_snapshot/disks.h"
#include "kvn_snapshot/partition_table.h"
#include "mount_table.h"
#include "sysfs.h"

namespace kvn_snapshot {

namespace {

// Linux extended boot partition (XBOOTLDR), BC13C2FF-59E6-4262-A352-B275FD6F7172.
const QString kExtendedBootType = QStringLiteral("bc13c2ff-59e6-4262-a352-b275fd6f7172");

QByteArray utf8(const QString& text) { return text.toUtf8(); }

class VolumeLister {
 public:
  std::vector<VolumeRecord> run() {
    disks_ = listDisks();
    mounts_ = readMountInfo();
    QStringList names = QDir(sysfs::kClassBlock).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    names.sort();
    for (const QString& name : names) add(name);
    return std::move(volumes_);
  }

 private:
  struct Disk {
    DiskInfo info;
    PartitionTable table;
    QString serial;
  };

  const Disk* disk(const QString& name) {
    const auto known = disksByName_.find(name);
    if (known != disksByName_.end()) return &known->second;
    for (const DiskInfo& info : disks_) {
      if (info.name != name) continue;
      Disk d{info, {}, {}};
      QString why;
      if (!readPartitionTable(info.devicePath, &d.table, &why)) d.table = PartitionTable{};
      d.serial = diskSerialText(d.table, info.serial);
      return &disksByName_.emplace(name, d).first->second;
    }
    return nullptr;
  }

  void add(const QString& name) {
    const QString folder = QFileInfo(QString(sysfs::kClassBlock) + '/' + name).canonicalFilePath();
    std::uint64_t sectors = 0;
    if (!sysfs::number(folder, "size", &sectors) || sectors == 0) return;
    const Disk* d = disk(QFileInfo(sysfs::diskFolder(folder)).fileName());
    if (d == nullptr) return;
    if (d->info.removable) {
      KLOG_D("Non fixed drive skipped");
      return;
    }
    VolumeRecord v;
    v.devicePath = "/dev/" + name;
    v.diskNumber = d->info.number;
    v.diskName = d->info.model;
    v.diskSerial = d->serial;
    v.diskSize = d->info.size;
    const PartitionEntry* entry = nullptr;
    std::uint64_t start = 0;
    if (sysfs::isPartition(folder) && sysfs::number(folder, "start", &start)) {
      for (const PartitionEntry& p : d->table.partitions) {
        if (p.offset == start * 512) entry = &p;
      }
    }
    if (entry != nullptr && entry->isEfiSystem()) {
      efi(v, *entry);
    } else if (!fileSystem(v, sysfs::text(folder, "dev"), entry)) {
      return;
    }
    KLOG_D("* %s : %s", utf8(v.volumeGuid).constData(), utf8(v.mountName).constData());
    KLOG_D("  %s : %s", utf8(v.label).constData(), utf8(v.fsName).constData());
    KLOG_D("  %llu : %llu", static_cast<unsigned long long>(v.freeSize),
           static_cast<unsigned long long>(v.totalSize));
    KLOG_D("  Disk Name: %s - Serial: %s - Size %lld Go", utf8(v.diskName).constData(),
           utf8(v.diskSerial).constData(), static_cast<long long>(v.diskSize >> 30));
    volumes_.push_back(v);
  }

  static void efi(VolumeRecord& v, const PartitionEntry& entry) {
    KLOG_D("* Found EFI partition for GPT disk %d", v.diskNumber);
    v.volumeGuid = guidText(entry.gptId);
    v.mountName = "(EFI)";
    v.fsName = "EFI";
    v.isCritical = v.isBoot = true;
    v.totalSize = entry.length;
    v.freeSize = 0;
    v.rawPath = v.devicePath;
  }

  bool fileSystem(VolumeRecord& v, const QString& device, const PartitionEntry* entry) {
    FsProbe probe;
    if (!probeFileSystem(v.devicePath, &probe) || probe.usage != "filesystem" ||
        probe.uuid.isEmpty()) {
      return false;
    }
    v.volumeGuid = probe.uuid;
    v.label = probe.label;
    v.fsName = probe.type;
    v.mountName = mountPointOf(mounts_, device, v.devicePath);
    const bool bootPartition =
        entry != nullptr && (entry->bootIndicator || guidText(entry->gptType) == kExtendedBootType);
    if (v.mountName.isEmpty() && bootPartition) v.mountName = "(Boot)";
    v.isCritical = v.mountName == "/" || v.mountName == "/boot" || v.mountName == "(Boot)";
    v.isBoot = v.mountName == "/boot" || v.mountName == "(Boot)";
    sizes(v);
    return true;
  }

  static void sizes(VolumeRecord& v) {
    struct statvfs st {};
    if (v.mountName.startsWith('/') && ::statvfs(utf8(v.mountName).constData(), &st) == 0) {
      v.totalSize = static_cast<std::uint64_t>(st.f_blocks) * st.f_frsize;
      v.freeSize = static_cast<std::uint64_t>(st.f_bfree) * st.f_frsize;
      return;
    }
    ExtFileSystem fs;
    long error = 0;
    if (fs.open(v.devicePath, &error)) {
      v.totalSize = fs.blockCount() * fs.blockSize();
      v.freeSize = fs.freeBlocks() * fs.blockSize();
      return;
    }
    int ignored = 0;
    deviceSize(v.devicePath, &v.totalSize, &ignored);
    v.freeSize = 0;
  }

  std::vector<DiskInfo> disks_;
  std::map<QString, Disk> disksByName_;
  std::vector<Mount> mounts_;
  std::vector<VolumeRecord> volumes_;
};

}  // namespace

std::vector<VolumeRecord> listVolumes() { return VolumeLister().run(); }

}  // namespace kvn_snapshot
