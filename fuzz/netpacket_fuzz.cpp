// Received packets: adopt arbitrary bytes, undo encryption and compression
// as the receiver does, then read values of every kind in an order that the
// input chooses.
//
// Input: u8 n, n script bytes, then the packet bytes. Bit 0 of the first
// script byte patches the length field to the real size, so that most
// inputs get past the header check.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "kvn_compression/compressor.h"
#include "kvn_crypto/bytes.h"
#include "kvn_crypto/crypto.h"
#include "kvn_log/exception.h"
#include "kvn_network/netpacket.h"

namespace {

kvn_crypto::Crypto& session() {
  static kvn_crypto::Crypto* crypto = [] {
    auto* c = new kvn_crypto::Crypto;
    const kvn_crypto::Bytes secret = {1, 2, 3, 4, 5, 6, 7, 8};
    c->receiveCipher().init(secret, secret, 128, kvn_crypto::AesContext::Ecb);
    return c;
  }();
  return *crypto;
}

void readValue(kvn_network::NetPacket& p, std::uint8_t op, std::uint8_t arg) {
  switch (op % 13) {
    case 0: p.getUInt8(); break;
    case 1: p.getUInt16(); break;
    case 2: p.getUInt32(); break;
    case 3: p.getInt32(); break;
    case 4: p.getUInt64(); break;
    case 5: p.getInt64(); break;
    case 6: p.getString(); break;
    case 7: p.getStdString(); break;
    case 8: p.getStringList(); break;
    case 9: p.getDateTime(); break;
    case 10: p.getBytes(arg); break;
    case 11: p.getDataPointer(static_cast<std::size_t>(arg) * 97); break;
    default: p.getBytes(p.getUInt32()); break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kvn_fuzz::quietLog();
  static kvn_compression::Compressor compressor(0x100000, -1);
  if (size < 1) return 0;
  const std::size_t scriptSize = std::min<std::size_t>(data[0], size - 1);
  const std::uint8_t* script = data + 1;
  kvn_network::NetPacket::Bytes bytes(script + scriptSize, data + size);
  if (scriptSize > 0 && (script[0] & 1) != 0 && bytes.size() >= kvn_network::kPacketHeaderSize)
    kvn_crypto::writeLe(bytes.data() + 5, static_cast<std::uint32_t>(bytes.size()));
  try {
    kvn_network::NetPacket packet = kvn_network::NetPacket::fromBytes(std::move(bytes));
    if (packet.isEncrypted()) packet.decrypt(session());
    if (packet.isCompressed()) packet.decompress(compressor);
    for (std::size_t i = 1; i + 1 < scriptSize && !packet.atEnd(); i += 2)
      readValue(packet, script[i], script[i + 1]);
  } catch (const KvnCommonException&) {
  }
  return 0;
}
