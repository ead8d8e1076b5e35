// The partition table of a disk (or a disk image file), parsed from its raw
// sectors: MBR with its chain of extended boot records, or GPT.
#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "kvn_formats/volume_image/hashmap_records.h"

namespace kvn_snapshot {

using kvn_formats::volume_image::Uuid;

struct PartitionEntry {
  std::uint32_t number = 0;  // 1-4 primary, 5 on logical (MBR); index + 1 (GPT)
  std::uint64_t offset = 0;  // bytes from the start of the disk
  std::uint64_t length = 0;
  std::uint8_t mbrType = 0;
  bool bootIndicator = false;
  Uuid gptType{};  // on-disk (mixed-endian) byte order
  Uuid gptId{};

  bool isEfiSystem() const;
};

struct PartitionTable {
  enum class Style { None, Mbr, Gpt };

  Style style = Style::None;
  std::uint32_t sectorSize = 512;
  // MBR: the 4 signature bytes at offset 440, as stored.
  std::array<std::uint8_t, 4> mbrSignatureBytes{};
  // Byte offsets of the extended boot records, in chain order.
  std::vector<std::uint64_t> ebrOffsets;
  // GPT: the disk GUID as stored, and the usable area.
  Uuid gptDiskGuid{};
  std::uint64_t firstUsableOffset = 0;
  std::uint64_t usableLength = 0;
  std::vector<PartitionEntry> partitions;

  // The stored signature bytes read as the little-endian number they are.
  std::uint32_t mbrSignature() const;
  // Any MBR partition with the boot indicator, or an EFI system partition.
  bool hasBootablePartition() const;
};

// Reads length bytes at offset; false when they cannot all be read.
using SectorReader = std::function<bool(std::uint64_t offset, void* data, std::size_t length)>;

// Parses the table of a disk of diskSize bytes. A disk without a valid MBR
// signature has Style::None. False with *error when a sector the table
// points at cannot be read or the table contradicts itself (an EBR chain
// that loops or leaves the disk, a GPT header out of bounds).
bool parsePartitionTable(const SectorReader& read, std::uint64_t diskSize, std::uint32_t sectorSize,
                         PartitionTable* table, QString* error);

// The same on a device node or image file; the sector size comes from sysfs
// for block devices (512 otherwise).
bool readPartitionTable(const QString& path, PartitionTable* table, QString* error);

// "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx" (lower case) of a GUID stored in
// the mixed-endian layout of GPT.
QString guidText(const Uuid& stored);

}  // namespace kvn_snapshot
