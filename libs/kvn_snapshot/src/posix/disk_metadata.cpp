#include "kvn_snapshot/disk_metadata.h"

#include <QtEndian>
#include <cstring>

#include "device_file.h"
#include "kvn_formats/volume_image/hashmap_writer.h"
#include "kvn_log/log.h"
#include "kvn_snapshot/disks.h"
#include "kvn_snapshot/partition_table.h"

namespace kvn_snapshot {

namespace {

using namespace kvn_formats::volume_image;

constexpr int kOpenAttempts = 5;
// Partition-table areas larger than this are taken for a broken table.
constexpr std::uint64_t kMaxArea = 64ull << 20;

void appendBigEndian(QByteArray& out, std::uint64_t value) {
  char bytes[8];
  qToBigEndian(value, bytes);
  out.append(bytes, sizeof bytes);
}

class DumpReader {
 public:
  DumpReader(const QString& path, std::int32_t diskNumber, DiskMetadataDump* dump)
      : path_(path.toUtf8()), pathText_(path), diskNumber_(diskNumber), dump_(dump) {}

  bool run() {
    int error = 0;
    if (!disk_.open(pathText_, kOpenAttempts, &error)) {
      KLOG_F("Failed to open PhysicalDrive '%s' as a file (disk %d)", path_.constData(),
             diskNumber_);
      return false;
    }
    QString why;
    if (!disk_.size(&diskSize_, &error) || !readPartitionTable(pathText_, &table_, &why)) {
      KLOG_E("IOCTL_DISK_GET_DRIVE_LAYOUT_EX failed for '%s' (%lu)", path_.constData(),
             static_cast<unsigned long>(error));
      if (!why.isEmpty()) KLOG_E("%s", why.toUtf8().constData());
      return false;
    }
    *dump_ = DiskMetadataDump{};
    switch (table_.style) {
      case PartitionTable::Style::Gpt: return gpt();
      case PartitionTable::Style::Mbr: return mbr();
      case PartitionTable::Style::None: return true;
    }
    return true;
  }

 private:
  // Appends length bytes of the disk from offset. Returns the bytes read,
  // or -1 with *error; the caller logs in its own words.
  std::int64_t append(QByteArray& out, std::uint64_t offset, std::uint64_t length, int* error) {
    QByteArray bytes(static_cast<qsizetype>(length), '\0');
    const std::int64_t got = disk_.readAt(offset, bytes.data(), length);
    if (got < 0) *error = errno;
    if (static_cast<std::uint64_t>(got) == length) out.append(bytes);
    return got;
  }

  bool gpt() {
    const std::uint64_t mainSize = table_.firstUsableOffset;
    const std::uint64_t copyOffset = table_.firstUsableOffset + table_.usableLength;
    if (copyOffset > diskSize_ || mainSize > kMaxArea || diskSize_ - copyOffset > kMaxArea) {
      KLOG_E("GPT usable area out of bounds on '%s'", path_.constData());
      return false;
    }
    const std::uint64_t copySize = diskSize_ - copyOffset;
    KLOG_I("Saving GPT (v2)");
    QByteArray out;
    appendBigEndian(out, mainSize);
    appendBigEndian(out, copySize);
    appendBigEndian(out, copyOffset);
    int error = 0;
    std::int64_t got = append(out, 0, mainSize, &error);
    if (got < 0) {
      KLOG_E("GPT main read failed from '%s' of size %llu (%lu)", path_.constData(),
             static_cast<unsigned long long>(mainSize), static_cast<unsigned long>(error));
      return false;
    }
    if (static_cast<std::uint64_t>(got) != mainSize) {
      KLOG_E("GPT main read incomplete from '%s' (%u/%llu)", path_.constData(),
             static_cast<unsigned>(got), static_cast<unsigned long long>(mainSize));
      return false;
    }
    got = append(out, copyOffset, copySize, &error);
    if (got < 0) {
      KLOG_E("GPT copy read failed from '%s', offset %llu, size %llu (%lu)", path_.constData(),
             static_cast<unsigned long long>(copyOffset), static_cast<unsigned long long>(copySize),
             static_cast<unsigned long>(error));
      return false;
    }
    if (static_cast<std::uint64_t>(got) != copySize) {
      KLOG_E("GPT copy read incomplete from '%s', offset %llu (%u/%llu)", path_.constData(),
             static_cast<unsigned long long>(copyOffset), static_cast<unsigned>(got),
             static_cast<unsigned long long>(copySize));
      return false;
    }
    dump_->type = kMetaGpt;
    dump_->bytes = out;
    dump_->diskId = table_.gptDiskGuid;
    return true;
  }

  bool mbr() {
    KLOG_I("Saving main MBR");
    QByteArray out;
    int error = 0;
    std::int64_t got = append(out, 0, 512, &error);
    if (got < 0) {
      KLOG_E("MBR read failed from '%s' of size %llu (%lu)", path_.constData(), 512ull,
             static_cast<unsigned long>(error));
      return false;
    }
    if (got != 512) {
      KLOG_E("MBR read incomplete from '%s' (%u/%llu)", path_.constData(),
             static_cast<unsigned>(got), 512ull);
      return false;
    }
    for (const std::uint64_t ebr : table_.ebrOffsets) {
      KLOG_I("Saving EBR");
      appendBigEndian(out, ebr);
      got = append(out, ebr, 512, &error);
      if (got < 0) {
        KLOG_E("EBR read failed from '%s', offset %llu of size %llu (%lu)", path_.constData(),
               static_cast<unsigned long long>(ebr), 512ull, static_cast<unsigned long>(error));
        return false;
      }
      if (got != 512) {
        KLOG_E("EBR read incomplete from '%s', offset %llu (%u/%llu)", path_.constData(),
               static_cast<unsigned long long>(ebr), static_cast<unsigned>(got), 512ull);
        return false;
      }
    }
    dump_->type = kMetaMbr;
    dump_->bytes = out;
    qToBigEndian(table_.mbrSignature(), dump_->diskId.data());
    return true;
  }

  const QByteArray path_;
  const QString pathText_;
  const std::int32_t diskNumber_;
  DiskMetadataDump* dump_;
  DeviceFile disk_;
  std::uint64_t diskSize_ = 0;
  PartitionTable table_;
};

}  // namespace

namespace {

bool store(const QString& diskPath, std::int32_t diskNumber, HashmapWriter& writer) {
  DiskMetadataDump dump;
  if (!DumpReader(diskPath, diskNumber, &dump).run()) return false;
  if (dump.bytes.isEmpty()) return true;
  KLOG_I("Writing meta data dump to hashmap (length: %d)", static_cast<int>(dump.bytes.size()));
  writer.setMetaData(dump.type, dump.bytes);
  writer.setDiskId(dump.diskId);
  return true;
}

}  // namespace

bool readDiskMetadata(const QString& diskPath, DiskMetadataDump* dump) {
  return DumpReader(diskPath, -1, dump).run();
}

bool dumpDiskMetadata(const QString& diskPath, HashmapWriter& writer) {
  return store(diskPath, -1, writer);
}

bool dumpDiskMetadata(std::int32_t diskNumber, HashmapWriter& writer) {
  DiskInfo disk;
  if (!findDisk(diskNumber, &disk)) {
    KLOG_F("Failed to open PhysicalDrive '%s' as a file (disk %d)", "", diskNumber);
    return false;
  }
  return store(disk.devicePath, diskNumber, writer);
}

}  // namespace kvn_snapshot
