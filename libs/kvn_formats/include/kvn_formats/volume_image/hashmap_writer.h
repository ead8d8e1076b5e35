// Writes a volume hashmap file. Descriptors go to the file as they come, so
// only the block table (4 bytes per block) is kept in memory; the header and
// the table are written once, by close().
//
// Every failure throws KvnCommonException (KVN_E_SERVER; an open failure
// KVN_E_EXCEPTION); seek and table failures throw KvnQFileException.
#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "kvn_formats/volume_image/hashmap_records.h"

namespace kvn_formats::volume_image {

class HashmapWriter {
 public:
  // Creates (or truncates) path. The sizes must keep the rules of
  // headerSizeProblem(); fsName is cut to 16 bytes.
  HashmapWriter(const QString& path, std::uint32_t flags, std::uint64_t imageSize,
                std::uint32_t blockSize, std::uint32_t chunkSize, std::uint64_t partitionOffset,
                std::uint64_t partitionLength, const std::string& fsName);
  // Closes; a failure is logged, never thrown.
  ~HashmapWriter();
  HashmapWriter(const HashmapWriter&) = delete;
  HashmapWriter& operator=(const HashmapWriter&) = delete;

  void setCreatedAt(std::uint32_t seconds) { header_.createdAt = seconds; }
  void setImageId(const Uuid& id) { header_.imageId = id; }
  void setParentId(const Uuid& id) { header_.parentId = id; }
  void setDiskId(const Uuid& id) { header_.diskId = id; }

  // Writes block index's descriptor; a block written again is overwritten in
  // place.
  void setBlock(std::uint64_t index, const HashmapBlockDesc& desc);
  // Stores the kind of disk meta data, and the bytes when there are any.
  void setMetaData(std::uint32_t type, const QByteArray& bytes);
  void setHardwareInfo(const QByteArray& bytes);

  // Writes header and table and closes the file; nothing happens when it is
  // already closed. The file is closed even when this throws.
  void close();

  const HashmapHeader& header() const { return header_; }
  std::uint64_t blockCount() const { return table_.size(); }
  QString path() const { return file_.fileName(); }

 private:
  // Appends bytes to the data area; returns where they went.
  std::uint32_t append(const QByteArray& bytes, const char* shortWriteText);
  std::uint32_t reserve(std::uint64_t length);
  void writeHeaderAndTable();

  QFile file_;
  HashmapHeader header_;
  std::vector<std::uint32_t> table_;
  std::uint64_t dataEnd_ = 0;
};

}  // namespace kvn_formats::volume_image
