// Reads a volume hashmap file. The constructor checks the magic, the
// version, the size rules and that the whole block table is there; any later
// access that would leave the file throws instead of reading past its end.
//
// Failures throw KvnCommonException (KVN_E_SERVER; an open failure
// KVN_E_EXCEPTION); seek, table and meta-data failures throw
// KvnQFileException. A reader that threw is to be discarded.
#pragma once

#include <QByteArray>
#include <QIODevice>
#include <QString>
#include <cstdint>
#include <memory>
#include <vector>

#include "kvn_formats/volume_image/hashmap_records.h"

namespace kvn_formats::volume_image {

class HashmapReader {
 public:
  explicit HashmapReader(const QString& path);
  // Reads from any random-access device (a QBuffer in memory, for example);
  // name is used in messages.
  HashmapReader(std::unique_ptr<QIODevice> device, const QString& name);
  ~HashmapReader();
  HashmapReader(const HashmapReader&) = delete;
  HashmapReader& operator=(const HashmapReader&) = delete;

  const HashmapHeader& header() const { return header_; }
  std::uint32_t version() const { return header_.version; }
  std::uint64_t imageSize() const { return header_.imageSize; }
  std::uint32_t flags() const { return header_.flags; }
  std::uint32_t blockSize() const { return header_.blockSize; }
  std::uint32_t chunkSize() const { return header_.chunkSize; }
  std::uint32_t createdAt() const { return header_.createdAt; }
  const Uuid& imageId() const { return header_.imageId; }
  const Uuid& parentId() const { return header_.parentId; }
  std::uint64_t partitionOffset() const { return header_.partitionOffset; }
  std::uint64_t partitionLength() const { return header_.partitionLength; }
  std::uint32_t metaType() const { return header_.metaType; }
  const Uuid& diskId() const { return header_.diskId; }
  QString fsName() const;

  std::uint64_t blockCount() const { return table_.size(); }
  // Blocks that have a descriptor.
  std::uint64_t storedBlockCount() const { return stored_; }

  // False when block index has no descriptor; otherwise *out is filled.
  bool readBlock(std::uint64_t index, HashmapBlockDesc* out);
  // Empty when none was stored.
  QByteArray metaData();
  QByteArray hardwareInfo();

 private:
  void open(const QString& name);
  void readHeader();
  void readTable();
  QByteArray readArea(std::uint32_t offset, std::uint32_t length);

  std::unique_ptr<QIODevice> device_;
  HashmapHeader header_;
  std::vector<std::uint32_t> table_;
  std::uint64_t stored_ = 0;
};

}  // namespace kvn_formats::volume_image
