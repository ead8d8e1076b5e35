// The partition-table areas of a volume's disk, read raw and stored in the
// volume's hashmap, so that the box can lay the disk out again.
//
// MBR (type 1): the 512 bytes of sector 0, then for every extended boot
// record its byte offset (8 bytes, big-endian) and its 512 bytes: 512 +
// 520 × records.
// GPT (type 4): mainSize, copySize and copyOffset (8 bytes each,
// big-endian), the mainSize bytes from offset 0 (up to the first usable
// byte), and the copySize bytes from copyOffset (after the last usable
// byte) to the end of the disk.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>

#include "kvn_formats/volume_image/hashmap_records.h"

namespace kvn_formats::volume_image {
class HashmapWriter;
}

namespace kvn_snapshot {

struct DiskMetadataDump {
  std::uint32_t type = kvn_formats::volume_image::kMetaNone;
  QByteArray bytes;  // empty for a disk without a partition table
  // MBR: the signature as a big-endian number, then 12 zero bytes; GPT: the
  // disk GUID as stored.
  kvn_formats::volume_image::Uuid diskId{};
};

// Reads the dump of a disk device or disk image file. False (logged) when
// the disk cannot be opened or read.
bool readDiskMetadata(const QString& diskPath, DiskMetadataDump* dump);

// Stores the dump of the disk (by number, as listDisks() counts, or by
// path) in the hashmap: metaType, the bytes and the disk id. Nothing is
// stored on failure or for a disk without a partition table.
bool dumpDiskMetadata(std::int32_t diskNumber, kvn_formats::volume_image::HashmapWriter& writer);
bool dumpDiskMetadata(const QString& diskPath, kvn_formats::volume_image::HashmapWriter& writer);

}  // namespace kvn_snapshot
