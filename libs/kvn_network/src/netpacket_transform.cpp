// The payload transforms (compression, encryption) and the trace dump.
#include <cstdio>

#include "kvn_compression/compressor.h"
#include "kvn_crypto/bytes.h"
#include "kvn_crypto/crypto.h"
#include "kvn_log/exception.h"
#include "kvn_network/netpacket.h"

namespace kvn_network {

namespace {

constexpr std::size_t kMaxPayload = kMaxPacketSize - kPacketHeaderSize;

// Restores the cursor after the dump has read the file header.
class CursorKeeper {
 public:
  explicit CursorKeeper(std::size_t& cursor) : cursor_(cursor), saved_(cursor) {}
  ~CursorKeeper() { cursor_ = saved_; }

 private:
  std::size_t& cursor_;
  std::size_t saved_;
};

}  // namespace

bool NetPacket::transform(const std::function<void(const std::uint8_t*, std::size_t, Bytes&)>& step,
                          std::uint8_t flag, bool on, const char* exceptionText,
                          const char* resultText) {
  Bytes result;
  result.reserve(buffer_.size() + 64);
  result.assign(buffer_.begin(), buffer_.begin() + kPacketHeaderSize);
  try {
    step(buffer_.data() + kPacketHeaderSize, payloadSize(), result);
  } catch (const KvnCommonException& e) {
    KLOG_E("%s: %s", exceptionText, e.what());
    return false;
  }
  const std::size_t size = result.size() - kPacketHeaderSize;
  if (size == 0 || size > kMaxPayload) {
    KLOG_E("%s", resultText);
    return false;
  }
  buffer_.swap(result);
  kvn_crypto::writeLe(buffer_.data() + 5, static_cast<std::uint32_t>(buffer_.size()));
  setFlag(flag, on);
  if (cursor_ > buffer_.size()) cursor_ = buffer_.size();
  return true;
}

bool NetPacket::compress(kvn_compression::Compressor& compressor) {
  if (isCompressed()) {
    KLOG_E("Error: Packet is already compressed");
    return false;
  }
  if (payloadSize() == 0) return true;
  return transform([&](const std::uint8_t* data, std::size_t size,
                       Bytes& out) { compressor.compressInto(data, size, out); },
                   packet_cfg::kCompressed, true, "Error compressing packet", "Error: compress");
}

bool NetPacket::decompress(kvn_compression::Compressor& compressor) {
  if (!isCompressed()) {
    KLOG_E("Error: Packet is already decompressed");
    return false;
  }
  if (payloadSize() == 0) return true;
  return transform(
      [&](const std::uint8_t* data, std::size_t size, Bytes& out) {
        // One byte over the limit is enough to know the result is too large.
        compressor.decompressInto(data, size, out, kMaxPayload + 1);
      },
      packet_cfg::kCompressed, false, "Error decompressing packet", "Error: decompress");
}

bool NetPacket::encrypt(kvn_crypto::Crypto& crypto) {
  // A second encryption would be undone only once by the receiver.
  if (isEncrypted()) {
    KLOG_E("Error: Packet is already encrypted");
    return false;
  }
  if (payloadSize() == 0) return true;
  return transform(
      [&](const std::uint8_t* data, std::size_t size, Bytes& out) {
        crypto.transformInto(kvn_crypto::Crypto::Encrypt, data, size, out);
      },
      packet_cfg::kEncrypted, true, "Error encrypting packet", "Error: encrypt");
}

bool NetPacket::decrypt(kvn_crypto::Crypto& crypto) {
  if (!isEncrypted()) {
    KLOG_E("Error: Packet is already decrypted");
    return false;
  }
  if (payloadSize() == 0) return true;
  return transform(
      [&](const std::uint8_t* data, std::size_t size, Bytes& out) {
        crypto.transformInto(kvn_crypto::Crypto::Decrypt, data, size, out);
      },
      packet_cfg::kEncrypted, false, "Error decrypting packet", "Error: decrypt");
}

void NetPacket::dump(const char* label) {
  if (!kvn_log::enabled(kvn_log::Trace)) return;
  KLOG_T("%s (cfg=0x%02hhx, type=0x%08x, payload_size=%u)", label, cfg(), type(), payloadSize());
  if (!isFile()) return;
  CursorKeeper keeper(cursor_);
  cursor_ = kPacketHeaderSize;
  try {
    const std::uint32_t fileType = getUInt32();
    KLOG_T("+ fileType: %u", fileType);
    const std::string name = getStdString();
    KLOG_T("+ fileName: %s", name.c_str());
    const std::uint32_t chunk = getUInt32();
    const std::uint64_t offset = getUInt64();
    const std::uint64_t total = getUInt64();
    const std::uint32_t size = getUInt32();
    KLOG_T("+ chunk (id:%u, size: %u)", chunk, size);
    KLOG_T("+ fileSize (sent:%llu, total:%llu)", static_cast<unsigned long long>(offset),
           static_cast<unsigned long long>(total));
  } catch (const KvnCommonException& e) {
    // An abort packet carries only the file id and a name.
    KLOG_T("+ %s", e.what());
  }
}

}  // namespace kvn_network
