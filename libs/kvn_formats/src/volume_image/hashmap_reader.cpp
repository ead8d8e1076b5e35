#include "kvn_formats/volume_image/hashmap_reader.h"

#include <QFile>
#include <cstring>

#include "field_io.h"
#include "kvn_log/exception.h"
#include "record_codec.h"

namespace kvn_formats::volume_image {

namespace {

constexpr const char* kOwner = "HashmapReader";

}  // namespace

HashmapReader::HashmapReader(const QString& path) : device_(std::make_unique<QFile>(path)) {
  open(path);
}

HashmapReader::HashmapReader(std::unique_ptr<QIODevice> device, const QString& name)
    : device_(std::move(device)) {
  open(name);
}

HashmapReader::~HashmapReader() = default;

void HashmapReader::open(const QString& name) {
  if (!device_->open(QIODevice::ReadOnly)) {
    throw KvnCommonException::withCode(
        KVN_HERE, KVN_E_EXCEPTION, "Failed to open HashmapReader input file %s, %s",
        device_->errorString().toUtf8().constData(), name.toUtf8().constData());
  }
  readHeader();
  readTable();
}

void HashmapReader::readHeader() {
  char magic[4];
  io::readValue(*device_, magic, sizeof magic);
  if (std::memcmp(magic, kHashmapMagic, sizeof magic) != 0) {
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "HashmapHeader: Magic cookie check failed");
  }
  std::uint8_t fields[codec::kHeaderFieldsSize - 4];
  io::readValue(*device_, fields, sizeof fields);
  header_ = codec::decodeHeaderFields(fields);
  if (header_.version < kHashmapOldestVersion) {
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "HashmapReader: unsupported file version");
  }
  if (headerSizeProblem(header_.imageSize, header_.blockSize, header_.chunkSize) != nullptr) {
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "HashmapReader: invalid header");
  }
}

void HashmapReader::readTable() {
  const std::uint64_t count = header_.blockCount();
  // The table is checked against the file before anything is allocated for
  // it, so that a forged block count cannot ask for gigabytes.
  const std::uint64_t size = static_cast<std::uint64_t>(device_->size());
  if (size < kHeaderSize || count > (size - kHeaderSize) / 4) {
    throw io::fileError(KVN_HERE, *device_, "HashmapReader: Block table read error");
  }
  io::seekOrThrow(*device_, kHeaderSize, kOwner);
  QByteArray bytes = device_->read(static_cast<qint64>(count * 4));
  if (static_cast<std::uint64_t>(bytes.size()) != count * 4) {
    throw io::fileError(KVN_HERE, *device_, "HashmapReader: Block table read error");
  }
  io::Unpacker unpacker(reinterpret_cast<const std::uint8_t*>(bytes.constData()));
  table_.resize(count);
  for (auto& entry : table_) {
    entry = unpacker.u32();
    if (entry != kNoEntry) ++stored_;
  }
}

QString HashmapReader::fsName() const { return QString::fromStdString(header_.fsNameText()); }

bool HashmapReader::readBlock(std::uint64_t index, HashmapBlockDesc* out) {
  if (index >= table_.size()) {
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "HashmapReader: Invalid block number");
  }
  if (out == nullptr) {
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "HashmapReader: Output descriptor is null");
  }
  if (table_[index] == kNoEntry) return false;
  // Read in block order, descriptors follow each other: the device's buffer
  // serves them without a seek (a system call each).
  if (device_->pos() != qint64(table_[index])) io::seekOrThrow(*device_, table_[index], kOwner);
  std::uint8_t bytes[kDescriptorSize];
  io::readValue(*device_, bytes, sizeof bytes);
  *out = codec::decodeDescriptor(bytes);
  return true;
}

QByteArray HashmapReader::readArea(std::uint32_t offset, std::uint32_t length) {
  if (offset == kNoEntry || length == 0 || length == kNoEntry) return {};
  // Checked before allocating: a forged length must not cost memory.
  const std::uint64_t size = static_cast<std::uint64_t>(device_->size());
  if (static_cast<std::uint64_t>(offset) + length > size) {
    throw io::fileError(KVN_HERE, *device_, "HashmapReader: Meta data read error");
  }
  io::seekOrThrow(*device_, offset, kOwner);
  QByteArray bytes = device_->read(length);
  if (static_cast<std::uint64_t>(bytes.size()) != length) {
    throw io::fileError(KVN_HERE, *device_, "HashmapReader: Meta data read error");
  }
  return bytes;
}

QByteArray HashmapReader::metaData() { return readArea(header_.metaOffset, header_.metaLength); }

QByteArray HashmapReader::hardwareInfo() { return readArea(header_.hwOffset, header_.hwLength); }

}  // namespace kvn_formats::volume_image
