#include "kvn_formats/volume_image/hashmap_writer.h"

#include <limits>

#include "field_io.h"
#include "kvn_log/exception.h"
#include "record_codec.h"

namespace kvn_formats::volume_image {

namespace {

constexpr const char* kOwner = "HashmapWriter";
// Offsets in the file are 32-bit.
constexpr std::uint64_t kLargestOffset = std::numeric_limits<std::uint32_t>::max();

}  // namespace

HashmapWriter::HashmapWriter(const QString& path, std::uint32_t flags, std::uint64_t imageSize,
                             std::uint32_t blockSize, std::uint32_t chunkSize,
                             std::uint64_t partitionOffset, std::uint64_t partitionLength,
                             const std::string& fsName)
    : file_(path) {
  if (!file_.open(QIODevice::ReadWrite | QIODevice::Truncate)) {
    throw KvnCommonException::withCode(KVN_HERE, KVN_E_EXCEPTION,
                                       "Failed to open HashmapWriter output file: %s",
                                       file_.errorString().toUtf8().constData());
  }
  if (const char* problem = headerSizeProblem(imageSize, blockSize, chunkSize)) {
    file_.close();
    throw KvnCommonException::withCode(KVN_HERE, KVN_E_SERVER, "HashmapWriter: %s", problem);
  }
  header_.flags = flags;
  header_.imageSize = imageSize;
  header_.blockSize = blockSize;
  header_.chunkSize = chunkSize;
  header_.partitionOffset = partitionOffset;
  header_.partitionLength = partitionLength;
  header_.setFsName(fsName);
  dataEnd_ = header_.dataAreaStart();
  if (dataEnd_ > kLargestOffset) {
    file_.close();
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER,
                             "HashmapWriter: block table does not fit 32-bit offsets");
  }
  table_.assign(header_.blockCount(), kNoEntry);
}

HashmapWriter::~HashmapWriter() {
  try {
    close();
  } catch (...) {
    KLOG_E("HashmapWriter: exception in ~HashmapWriter");
  }
}

std::uint32_t HashmapWriter::reserve(std::uint64_t length) {
  if (dataEnd_ + length > kLargestOffset) {
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "HashmapWriter: file exceeds 32-bit offsets");
  }
  const auto at = static_cast<std::uint32_t>(dataEnd_);
  dataEnd_ += length;
  return at;
}

void HashmapWriter::setBlock(std::uint64_t index, const HashmapBlockDesc& desc) {
  if (index >= table_.size()) {
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "HashmapWriter: Invalid block number");
  }
  if (table_[index] == kNoEntry) table_[index] = reserve(kDescriptorSize);
  std::uint8_t bytes[kDescriptorSize];
  codec::encodeDescriptor(desc, bytes);
  // Blocks come in order, each descriptor right after the one before: a
  // seek would flush the file's buffer, a system call or two per block.
  if (file_.pos() != qint64(table_[index])) io::seekOrThrow(file_, table_[index], kOwner);
  io::writeValue(file_, bytes, sizeof bytes);
}

std::uint32_t HashmapWriter::append(const QByteArray& bytes, const char* shortWriteText) {
  const std::uint32_t at = reserve(static_cast<std::uint64_t>(bytes.size()));
  io::seekOrThrow(file_, at, kOwner);
  if (file_.write(bytes) != bytes.size()) {
    throw io::fileError(KVN_HERE, file_, shortWriteText);
  }
  return at;
}

void HashmapWriter::setMetaData(std::uint32_t type, const QByteArray& bytes) {
  header_.metaType = type;
  if (bytes.isEmpty()) {
    header_.metaOffset = header_.metaLength = kNoEntry;
    return;
  }
  header_.metaOffset = append(bytes, "write: Failed to write meta data");
  header_.metaLength = static_cast<std::uint32_t>(bytes.size());
}

void HashmapWriter::setHardwareInfo(const QByteArray& bytes) {
  if (bytes.isEmpty()) {
    header_.hwOffset = header_.hwLength = kNoEntry;
    return;
  }
  header_.hwOffset = append(bytes, "write: Failed to write hwinfo data");
  header_.hwLength = static_cast<std::uint32_t>(bytes.size());
}

void HashmapWriter::close() {
  if (!file_.isOpen()) return;
  try {
    writeHeaderAndTable();
  } catch (...) {
    file_.close();
    throw;
  }
  file_.close();
}

void HashmapWriter::writeHeaderAndTable() {
  std::uint8_t header[kHeaderSize];
  codec::encodeHeader(header_, header);
  io::seekOrThrow(file_, 0, kOwner);
  io::writeValue(file_, header, sizeof header);

  QByteArray table(static_cast<qsizetype>(table_.size() * 4), '\0');
  io::Packer packer(reinterpret_cast<std::uint8_t*>(table.data()));
  for (const std::uint32_t entry : table_) packer.u32(entry);
  io::seekOrThrow(file_, kHeaderSize, kOwner);
  if (file_.write(table) != table.size() || !file_.flush()) {
    throw io::fileError(KVN_HERE, file_, "HashmapWriter: Block table write error");
  }
}

}  // namespace kvn_formats::volume_image
