#include "kvn_snapshot/partition_table.h"

#include <QUuid>
#include <cstring>
#include <set>

#include "device_file.h"
#include "sysfs.h"

namespace kvn_snapshot {

namespace {

// EFI system partition, C12A7328-F81F-11D2-BA4B-00A0C93EC93B as stored.
constexpr Uuid kEfiSystemType = {0x28, 0x73, 0x2A, 0xC1, 0x1F, 0xF8, 0xD2, 0x11,
                                 0xBA, 0x4B, 0x00, 0xA0, 0xC9, 0x3E, 0xC9, 0x3B};
constexpr std::size_t kMbrEntries = 446;
constexpr std::uint8_t kProtectiveMbr = 0xEE;
// Links of an EBR chain longer than this are taken as a loop.
constexpr int kMaxLogicalPartitions = 256;
// GPT entry arrays above this are refused rather than read.
constexpr std::uint64_t kMaxGptEntryBytes = 1 << 20;

std::uint32_t le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

std::uint64_t le64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(le32(p)) | static_cast<std::uint64_t>(le32(p + 4)) << 32;
}

bool isExtended(std::uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

struct MbrSlot {
  bool boot;
  std::uint8_t type;
  std::uint64_t startSector;
  std::uint64_t sectors;
};

MbrSlot slot(const std::uint8_t* sector, int index) {
  const std::uint8_t* e = sector + kMbrEntries + 16 * index;
  return {e[0] == 0x80, e[4], le32(e + 8), le32(e + 12)};
}

bool hasBootSignature(const std::uint8_t* sector) {
  return sector[510] == 0x55 && sector[511] == 0xAA;
}

class Parser {
 public:
  Parser(const SectorReader& read, std::uint64_t diskSize, std::uint32_t sectorSize,
         PartitionTable* table, QString* error)
      : read_(read), diskSize_(diskSize), sector_(sectorSize), table_(table), error_(error) {}

  bool run() {
    *table_ = PartitionTable{};
    table_->sectorSize = sector_;
    std::uint8_t mbr[512];
    if (diskSize_ < 512 || !read_(0, mbr, sizeof mbr)) return fail("MBR read failed");
    if (!hasBootSignature(mbr)) return true;
    for (int i = 0; i < 4; ++i) {
      if (slot(mbr, i).type == kProtectiveMbr) return gpt();
    }
    table_->style = PartitionTable::Style::Mbr;
    std::memcpy(table_->mbrSignatureBytes.data(), mbr + 440, 4);
    for (int i = 0; i < 4; ++i) {
      const MbrSlot s = slot(mbr, i);
      if (s.type == 0) continue;
      add(static_cast<std::uint32_t>(i + 1), s, 0);
      if (isExtended(s.type) && !extended(s.startSector * sector_)) return false;
    }
    return true;
  }

 private:
  bool fail(const QString& why) {
    *error_ = why;
    return false;
  }

  void add(std::uint32_t number, const MbrSlot& s, std::uint64_t base) {
    PartitionEntry e;
    e.number = number;
    e.offset = base + s.startSector * sector_;
    e.length = s.sectors * sector_;
    e.mbrType = s.type;
    e.bootIndicator = s.boot;
    table_->partitions.push_back(e);
  }

  // Walks the chain of extended boot records that starts at extStart. Each
  // record holds one logical partition (relative to the record) and the link
  // to the next record (relative to the extended partition).
  bool extended(std::uint64_t extStart) {
    std::set<std::uint64_t> seen;
    std::uint64_t ebr = extStart;
    for (std::uint32_t number = 5;; ++number) {
      if (number - 5 >= kMaxLogicalPartitions || !seen.insert(ebr).second) {
        return fail(QStringLiteral("EBR chain loops at offset %1").arg(ebr));
      }
      std::uint8_t record[512];
      if (ebr + sizeof record > diskSize_ || !read_(ebr, record, sizeof record)) {
        return fail(QStringLiteral("EBR read failed at offset %1").arg(ebr));
      }
      if (!hasBootSignature(record)) return true;
      table_->ebrOffsets.push_back(ebr);
      const MbrSlot logical = slot(record, 0);
      if (logical.type != 0) add(number, logical, ebr);
      const MbrSlot link = slot(record, 1);
      if (!isExtended(link.type) || link.startSector == 0) return true;
      ebr = extStart + link.startSector * sector_;
    }
  }

  bool gpt() {
    table_->style = PartitionTable::Style::Gpt;
    std::uint8_t header[92];
    if (!read_(sector_, header, sizeof header) || std::memcmp(header, "EFI PART", 8) != 0) {
      return fail("GPT header missing");
    }
    const std::uint64_t firstUsable = le64(header + 40);
    const std::uint64_t lastUsable = le64(header + 48);
    std::memcpy(table_->gptDiskGuid.data(), header + 56, 16);
    const std::uint64_t entriesLba = le64(header + 72);
    const std::uint32_t count = le32(header + 80);
    const std::uint32_t entrySize = le32(header + 84);
    const std::uint64_t sectors = diskSize_ / sector_;
    if (lastUsable < firstUsable || lastUsable >= sectors || entrySize < 128 ||
        entrySize % 8 != 0 || static_cast<std::uint64_t>(count) * entrySize > kMaxGptEntryBytes ||
        entriesLba >= sectors) {
      return fail("GPT header out of bounds");
    }
    table_->firstUsableOffset = firstUsable * sector_;
    table_->usableLength = (lastUsable - firstUsable + 1) * sector_;
    std::vector<std::uint8_t> entries(static_cast<std::size_t>(count) * entrySize);
    if (entries.empty()) return true;
    if (entriesLba * sector_ + entries.size() > diskSize_ ||
        !read_(entriesLba * sector_, entries.data(), entries.size())) {
      return fail("GPT partition entries read failed");
    }
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::uint8_t* e = entries.data() + static_cast<std::size_t>(i) * entrySize;
      PartitionEntry p;
      std::memcpy(p.gptType.data(), e, 16);
      if (p.gptType == Uuid{}) continue;
      std::memcpy(p.gptId.data(), e + 16, 16);
      const std::uint64_t first = le64(e + 32);
      const std::uint64_t last = le64(e + 40);
      if (last < first) continue;
      p.number = i + 1;
      p.offset = first * sector_;
      p.length = (last - first + 1) * sector_;
      table_->partitions.push_back(p);
    }
    return true;
  }

  const SectorReader& read_;
  std::uint64_t diskSize_;
  std::uint64_t sector_;
  PartitionTable* table_;
  QString* error_;
};

}  // namespace

bool PartitionEntry::isEfiSystem() const { return gptType == kEfiSystemType; }

std::uint32_t PartitionTable::mbrSignature() const { return le32(mbrSignatureBytes.data()); }

bool PartitionTable::hasBootablePartition() const {
  for (const PartitionEntry& p : partitions) {
    if (p.bootIndicator || p.isEfiSystem()) return true;
  }
  return false;
}

bool parsePartitionTable(const SectorReader& read, std::uint64_t diskSize, std::uint32_t sectorSize,
                         PartitionTable* table, QString* error) {
  if (sectorSize < 512 || sectorSize % 512 != 0) {
    *error = QStringLiteral("bad sector size %1").arg(sectorSize);
    return false;
  }
  return Parser(read, diskSize, sectorSize, table, error).run();
}

bool readPartitionTable(const QString& path, PartitionTable* table, QString* error) {
  DeviceFile device;
  int err = 0;
  std::uint64_t size = 0;
  if (!device.open(path, 1, &err) || !device.size(&size, &err)) {
    *error = QString::fromLocal8Bit(std::strerror(err));
    return false;
  }
  std::uint64_t sectorSize = 512;
  const QString folder = sysfs::deviceFolder(path);
  if (!folder.isEmpty()) sysfs::number(folder, "queue/logical_block_size", &sectorSize);
  const SectorReader reader = [&device](std::uint64_t offset, void* data, std::size_t length) {
    return device.readAt(offset, data, length) == static_cast<std::int64_t>(length);
  };
  return parsePartitionTable(reader, size, static_cast<std::uint32_t>(sectorSize), table, error);
}

QString guidText(const Uuid& stored) {
  Uuid rfc = stored;
  std::swap(rfc[0], rfc[3]);
  std::swap(rfc[1], rfc[2]);
  std::swap(rfc[4], rfc[5]);
  std::swap(rfc[6], rfc[7]);
  const QByteArray bytes(reinterpret_cast<const char*>(rfc.data()), 16);
  return QUuid::fromRfc4122(bytes).toString(QUuid::WithoutBraces);
}

}  // namespace kvn_snapshot
