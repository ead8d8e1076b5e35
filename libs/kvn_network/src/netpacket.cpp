#include "kvn_network/netpacket.h"

#include <cstdio>
#include <cstring>

#include "kvn_crypto/bytes.h"
#include "kvn_log/exception.h"

namespace kvn_network {

using kvn_crypto::readLe;
using kvn_crypto::writeLe;

namespace {

constexpr std::size_t kTypeOffset = 1;
constexpr std::size_t kLengthOffset = 5;

[[noreturn]] void throwCreation(int value) {
  char text[64];
  std::snprintf(text, sizeof text, "Error packet creation %d", value);
  throw KvnNetPacketException(KVN_HERE, text);
}

[[noreturn]] void throwNotEnoughData() {
  throw KvnNetPacketException(KVN_HERE, "Error: there isn't enough data to return");
}

}  // namespace

NetPacket::NetPacket(std::uint32_t type) : buffer_(kPacketHeaderSize, 0) {
  writeLe(buffer_.data() + kTypeOffset, type);
  writeLe(buffer_.data() + kLengthOffset, kPacketHeaderSize);
}

NetPacket NetPacket::fromBytes(Bytes bytes) {
  if (bytes.size() < kPacketHeaderSize) throwCreation(static_cast<int>(bytes.size()));
  const std::uint32_t length = readLe<std::uint32_t>(bytes.data() + kLengthOffset);
  if (length >= kMaxPacketSize || length != bytes.size()) throwCreation(static_cast<int>(length));
  NetPacket packet;
  packet.buffer_ = std::move(bytes);
  return packet;
}

NetPacket NetPacket::fromBytes(const QByteArray& bytes) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.constData());
  return fromBytes(Bytes(p, p + bytes.size()));
}

std::uint32_t NetPacket::type() const {
  return readLe<std::uint32_t>(buffer_.data() + kTypeOffset);
}

std::uint32_t NetPacket::length() const {
  return readLe<std::uint32_t>(buffer_.data() + kLengthOffset);
}

void NetPacket::setFlag(std::uint8_t flag, bool on) {
  buffer_[0] = static_cast<std::uint8_t>(on ? buffer_[0] | flag : buffer_[0] & ~flag);
}

void NetPacket::reserve(std::size_t size, const char* message) const {
  if (size > kMaxPacketSize - length()) throw KvnNetPacketException(KVN_HERE, message);
}

void NetPacket::append(const void* data, std::size_t size) {
  const auto* p = static_cast<const std::uint8_t*>(data);
  buffer_.insert(buffer_.end(), p, p + size);
  writeLe(buffer_.data() + kLengthOffset, static_cast<std::uint32_t>(buffer_.size()));
  cursor_ += size;
}

template <typename T>
void NetPacket::putInteger(T value) {
  reserve(sizeof(T), "Error put object");
  std::uint8_t raw[sizeof(T)];
  writeLe(raw, value);
  append(raw, sizeof raw);
}

void NetPacket::putUInt8(std::uint8_t v) { putInteger(v); }
void NetPacket::putUInt16(std::uint16_t v) { putInteger(v); }
void NetPacket::putInt32(std::int32_t v) { putInteger(v); }
void NetPacket::putUInt32(std::uint32_t v) { putInteger(v); }
void NetPacket::putInt64(std::int64_t v) { putInteger(v); }
void NetPacket::putUInt64(std::uint64_t v) { putInteger(v); }

void NetPacket::putString(const char* data, std::size_t size) {
  if (data == nullptr)
    throw KvnNetPacketException(KVN_HERE, KVN_E_ARGUMENTS, "Error put Array (invalid args)");
  // The box reads an empty string as one zero byte.
  static const char kEmpty[1] = {0};
  if (size == 0) {
    data = kEmpty;
    size = 1;
  }
  putByteArray(data, size);
}

void NetPacket::putString(const QString& text) {
  const QByteArray utf8 = text.toUtf8();
  putString(utf8.constData(), static_cast<std::size_t>(utf8.size()));
}

void NetPacket::putStringList(const QStringList& list) {
  putUInt32(static_cast<std::uint32_t>(list.size()));
  for (const QString& text : list) putString(text);
}

void NetPacket::putDateTime(const QDateTime& value) {
  putInt64(value.isValid() ? value.toMSecsSinceEpoch() : 0);
}

void NetPacket::putByteArray(const void* data, std::size_t size) {
  if (data == nullptr || size == 0)
    throw KvnNetPacketException(KVN_HERE, KVN_E_ARGUMENTS, "Error put Array (invalid args)");
  if (size > kMaxPacketSize)
    throw KvnNetPacketException(KVN_HERE, "Error put Array (message too big)");
  reserve(size + 4, "Error put Array (message too big)");
  std::uint8_t prefix[4];
  writeLe(prefix, static_cast<std::uint32_t>(size));
  append(prefix, sizeof prefix);
  append(data, size);
}

void NetPacket::putDataChunk(const void* data, std::size_t size) {
  if (size == 0) return;
  reserve(size, "Error PutDataChunk");
  if (data == nullptr)
    throw KvnNetPacketException(KVN_HERE, KVN_E_ARGUMENTS, "Error put Array (invalid args)");
  append(data, size);
}

const std::uint8_t* NetPacket::take(std::size_t size) {
  if (size > buffer_.size() - cursor_) throwNotEnoughData();
  const std::uint8_t* p = buffer_.data() + cursor_;
  cursor_ += size;
  return p;
}

template <typename T>
T NetPacket::getInteger() {
  return readLe<T>(take(sizeof(T)));
}

std::uint8_t NetPacket::getUInt8() { return getInteger<std::uint8_t>(); }
std::uint16_t NetPacket::getUInt16() { return getInteger<std::uint16_t>(); }
std::int32_t NetPacket::getInt32() { return getInteger<std::int32_t>(); }
std::uint32_t NetPacket::getUInt32() { return getInteger<std::uint32_t>(); }
std::int64_t NetPacket::getInt64() { return getInteger<std::int64_t>(); }
std::uint64_t NetPacket::getUInt64() { return getInteger<std::uint64_t>(); }

std::string NetPacket::getStdString() {
  const std::uint32_t size = getUInt32();
  if (size == 0) return {};
  const char* p = reinterpret_cast<const char*>(take(size));
  return std::string(p, ::strnlen(p, size));
}

QString NetPacket::getString() { return QString::fromStdString(getStdString()); }

QStringList NetPacket::getStringList() {
  const std::uint32_t count = getUInt32();
  QStringList list;
  // No reserve(count): the count is the peer's word; every element must be
  // there before it takes memory.
  for (std::uint32_t i = 0; i < count; ++i) list.append(getString());
  return list;
}

QDateTime NetPacket::getDateTime() {
  const std::int64_t ms = getInt64();
  if (ms == 0) return QDateTime();
  return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
}

QByteArray NetPacket::getBytes(std::size_t size) {
  const std::uint8_t* p = take(size);
  return QByteArray(reinterpret_cast<const char*>(p), static_cast<qsizetype>(size));
}

const std::uint8_t* NetPacket::getDataPointer(std::size_t size) { return take(size); }

}  // namespace kvn_network
