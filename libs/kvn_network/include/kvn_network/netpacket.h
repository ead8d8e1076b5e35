// One packet of the box protocol: a 9-byte header (cfg flags, u32 type, u32
// total length, little-endian) followed by typed values that the sender
// appends and the receiver reads back in the same order. The packet carries
// its own compression and encryption state in the cfg flags.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace kvn_compression {
class Compressor;
}
namespace kvn_crypto {
class Crypto;
}

namespace kvn_network {

inline constexpr std::uint32_t kPacketHeaderSize = 9;
inline constexpr std::uint32_t kMaxPacketSize = 0xA00000;

namespace packet_cfg {
inline constexpr std::uint8_t kFile = 0x01;
inline constexpr std::uint8_t kEnd = 0x02;
inline constexpr std::uint8_t kNegotiation = 0x04;
inline constexpr std::uint8_t kError = 0x08;
inline constexpr std::uint8_t kControl = 0x10;
inline constexpr std::uint8_t kCompressed = 0x40;
inline constexpr std::uint8_t kEncrypted = 0x80;
}  // namespace packet_cfg

class NetPacket {
 public:
  using Bytes = std::vector<std::uint8_t>;

  // An empty packet: cfg 0, the type, length 9.
  explicit NetPacket(std::uint32_t type = 0);
  static NetPacket create(std::uint32_t type = 0) { return NetPacket(type); }
  // Adopts a received buffer; throws KvnNetPacketException "Error packet
  // creation %d" when it is shorter than the header or its length field is
  // not below the limit or differs from its size.
  static NetPacket fromBytes(Bytes bytes);
  static NetPacket fromBytes(const QByteArray& bytes);

  // Every put appends, updates the length field and throws
  // KvnNetPacketException when the packet would pass kMaxPacketSize.
  void putUInt8(std::uint8_t v);
  void putUInt16(std::uint16_t v);
  void putInt32(std::int32_t v);
  void putUInt32(std::uint32_t v);
  void putInt64(std::int64_t v);
  void putUInt64(std::uint64_t v);
  // u32 n and n bytes; an empty string goes as n = 1 and one zero byte.
  void putString(const char* data, std::size_t size);
  void putString(const std::string& text) { putString(text.data(), text.size()); }
  void putString(const QString& text);
  void putStringList(const QStringList& list);
  // Milliseconds since 1970 UTC; a null date-time goes as 0.
  void putDateTime(const QDateTime& value);
  // u32 n and n bytes; n must not be 0.
  void putByteArray(const void* data, std::size_t size);
  void putByteArray(const QByteArray& bytes) { putByteArray(bytes.constData(), bytes.size()); }
  // The raw bytes, no length.
  void putDataChunk(const void* data, std::size_t size);
  void putDataChunk(const QByteArray& bytes) { putDataChunk(bytes.constData(), bytes.size()); }

  // Every get reads at the cursor and throws KvnNetPacketException when the
  // value runs past the end of the packet.
  std::uint8_t getUInt8();
  std::uint16_t getUInt16();
  std::int32_t getInt32();
  std::uint32_t getUInt32();
  std::int64_t getInt64();
  std::uint64_t getUInt64();
  // The text ends at the first zero byte within its n bytes.
  QString getString();
  std::string getStdString();
  QStringList getStringList();
  // 0 reads back as a null date-time, anything else as that instant in UTC.
  QDateTime getDateTime();
  QByteArray getBytes(std::size_t size);
  // Points into the packet's buffer; valid while the packet is unchanged.
  const std::uint8_t* getDataPointer(std::size_t size);

  std::uint8_t cfg() const { return buffer_[0]; }
  std::uint32_t type() const;
  std::uint32_t length() const;
  std::uint32_t payloadSize() const { return length() - kPacketHeaderSize; }
  std::size_t cursor() const { return cursor_; }
  bool atEnd() const { return cursor_ == buffer_.size(); }
  const Bytes& bytes() const { return buffer_; }

  bool isFile() const { return hasFlag(packet_cfg::kFile); }
  bool isEnd() const { return hasFlag(packet_cfg::kEnd); }
  bool isNegotiation() const { return hasFlag(packet_cfg::kNegotiation); }
  bool isError() const { return hasFlag(packet_cfg::kError); }
  bool isControl() const { return hasFlag(packet_cfg::kControl); }
  bool isCompressed() const { return hasFlag(packet_cfg::kCompressed); }
  bool isEncrypted() const { return hasFlag(packet_cfg::kEncrypted); }
  void setFile(bool on = true) { setFlag(packet_cfg::kFile, on); }
  void setEnd(bool on = true) { setFlag(packet_cfg::kEnd, on); }
  void setNegotiation(bool on = true) { setFlag(packet_cfg::kNegotiation, on); }
  void setError(bool on = true) { setFlag(packet_cfg::kError, on); }
  void setControl(bool on = true) { setFlag(packet_cfg::kControl, on); }

  // Payload transforms; each logs its failure and returns false, leaving
  // the packet as it was. Senders compress, then encrypt; receivers
  // decrypt, then decompress. The header is never transformed.
  bool compress(kvn_compression::Compressor& compressor);
  bool decompress(kvn_compression::Compressor& compressor);
  bool encrypt(kvn_crypto::Crypto& crypto);
  bool decrypt(kvn_crypto::Crypto& crypto);

  // Trace-level description of the header and, for file packets, of the
  // file header.
  void dump(const char* label);

 private:
  bool hasFlag(std::uint8_t flag) const { return (buffer_[0] & flag) != 0; }
  void setFlag(std::uint8_t flag, bool on);
  // Throws message unless size more bytes fit behind the current length.
  void reserve(std::size_t size, const char* message) const;
  void append(const void* data, std::size_t size);
  template <typename T>
  void putInteger(T value);
  template <typename T>
  T getInteger();
  // size bytes at the cursor, which then moves past them.
  const std::uint8_t* take(std::size_t size);
  // Runs step over the payload into a new buffer that starts with the
  // header, and takes that buffer when the result fits; logs and returns
  // false otherwise. flag is then set to on.
  bool transform(const std::function<void(const std::uint8_t*, std::size_t, Bytes&)>& step,
                 std::uint8_t flag, bool on, const char* exceptionText, const char* resultText);

  Bytes buffer_;
  std::size_t cursor_ = kPacketHeaderSize;
};

}  // namespace kvn_network
