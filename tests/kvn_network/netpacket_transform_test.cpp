#include <gtest/gtest.h>

#include "../kvn_log/log_capture.h"
#include "kvn_compression/compressor.h"
#include "kvn_crypto/crypto.h"
#include "kvn_network/netpacket.h"
#include "network_test_support.h"

namespace {

using kvn_compression::Compressor;
using kvn_network::kMaxPacketSize;
using kvn_network::NetPacket;
using kvn_test::ByteVector;
using Bytes = NetPacket::Bytes;

Bytes payloadOf(const NetPacket& p) { return Bytes(p.bytes().begin() + 9, p.bytes().end()); }

// A cipher pair as a finished negotiation leaves it: the same 8-byte
// secret on both directions of one side.
struct Session {
  Session() {
    const kvn_crypto::Bytes secret = {1, 2, 3, 4, 5, 6, 7, 8};
    crypto.sendCipher().init(secret, secret, 128, kvn_crypto::AesContext::Ecb);
    crypto.receiveCipher().init(secret, secret, 128, kvn_crypto::AesContext::Ecb);
  }
  kvn_crypto::Crypto crypto;
};

NetPacket samplePacket() {
  NetPacket p(0x10000108);
  p.setError();
  p.putString(std::string(5000, 'x'));
  p.putUInt64(42);
  const ByteVector data = kvn_test::mixedBytes(200000);
  p.putByteArray(data.data(), data.size());
  return p;
}

TEST(NetPacketTransform, CompressThenEncryptAndBackInReverseOrder) {
  Compressor compressor(0x100000, -1);
  Session session;
  NetPacket p = samplePacket();
  const Bytes original = p.bytes();

  ASSERT_TRUE(p.compress(compressor));
  EXPECT_TRUE(p.isCompressed());
  EXPECT_TRUE(p.isError());  // other bits stay
  EXPECT_EQ(p.type(), 0x10000108u);
  EXPECT_EQ(p.length(), p.bytes().size());
  EXPECT_LT(p.length(), original.size());
  // The payload is a plain zlib stream of the original payload.
  EXPECT_EQ(kvn_test::pythonFilter(kvn_test::kZlibDecompress, payloadOf(p)),
            Bytes(original.begin() + 9, original.end()));
  const Bytes compressed = p.bytes();

  ASSERT_TRUE(p.encrypt(session.crypto));
  EXPECT_EQ(p.cfg(), 0x08 | 0x40 | 0x80);
  EXPECT_EQ(p.payloadSize() % 16, 0u);
  EXPECT_EQ(p.length(), p.bytes().size());

  NetPacket received = NetPacket::fromBytes(p.bytes());
  ASSERT_TRUE(received.decrypt(session.crypto));
  EXPECT_EQ(received.bytes(), compressed);
  ASSERT_TRUE(received.decompress(compressor));
  EXPECT_EQ(received.bytes(), original);
  EXPECT_EQ(received.getStdString(), std::string(5000, 'x'));
  EXPECT_EQ(received.getUInt64(), 42u);
}

TEST(NetPacketTransform, EmptyPayloadIsLeftAlone) {
  Compressor compressor(0x100000, -1);
  Session session;
  NetPacket p(5);
  EXPECT_TRUE(p.compress(compressor));
  EXPECT_TRUE(p.encrypt(session.crypto));
  EXPECT_EQ(p.bytes(), NetPacket(5).bytes());
}

TEST(NetPacketTransform, RefusalsAndFailuresLeaveThePacketUnchanged) {
  kvn_test::LogCapture capture;
  Compressor compressor(0x100000, -1);
  Session session;
  NetPacket plain = samplePacket();
  const Bytes before = plain.bytes();
  EXPECT_FALSE(plain.decompress(compressor));
  EXPECT_FALSE(plain.decrypt(session.crypto));
  EXPECT_EQ(plain.bytes(), before);

  NetPacket twice = samplePacket();
  ASSERT_TRUE(twice.compress(compressor));
  const Bytes compressed = twice.bytes();
  EXPECT_FALSE(twice.compress(compressor));
  EXPECT_EQ(twice.bytes(), compressed);

  NetPacket sealed = samplePacket();
  ASSERT_TRUE(sealed.encrypt(session.crypto));
  const Bytes encrypted = sealed.bytes();
  EXPECT_FALSE(sealed.encrypt(session.crypto));
  EXPECT_EQ(sealed.bytes(), encrypted);

  // A payload that claims compression but is not zlib.
  NetPacket bogus = NetPacket::fromBytes(Bytes{0x40, 0, 0, 0, 0, 14, 0, 0, 0, 1, 2, 3, 4, 5});
  EXPECT_FALSE(bogus.decompress(compressor));
  EXPECT_TRUE(bogus.isCompressed());
  // Encrypted with another key: the padding check fails.
  NetPacket foreign = NetPacket::fromBytes(
      Bytes{0x80, 0, 0, 0, 0, 25, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16});
  EXPECT_FALSE(foreign.decrypt(session.crypto));
  EXPECT_TRUE(foreign.isEncrypted());
  // Before the negotiation there is no cipher.
  kvn_crypto::Crypto none;
  NetPacket early = samplePacket();
  EXPECT_FALSE(early.encrypt(none));
  EXPECT_FALSE(early.isEncrypted());

  const std::string log = capture.text();
  for (const char* line :
       {"Error: Packet is already decompressed", "Error: Packet is already decrypted",
        "Error: Packet is already compressed", "Error: Packet is already encrypted",
        "Error decompressing packet: Error inflate",
        "Error decrypting packet: Error EVP_DecryptFinal_ex: ",
        "Error encrypting packet: Error encrypt context not initialized"})
    EXPECT_NE(log.find(line), std::string::npos) << line;
}

TEST(NetPacketTransform, ResultsOverTheLimitAreRefused) {
  kvn_test::LogCapture capture;
  Compressor compressor(0x100000, -1);
  Session session;
  // Padding would push a full packet past the limit.
  NetPacket full(1);
  const ByteVector filler(kMaxPacketSize - 9, 0x33);
  full.putDataChunk(filler.data(), filler.size());
  const Bytes before = full.bytes();
  EXPECT_FALSE(full.encrypt(session.crypto));
  EXPECT_EQ(full.bytes(), before);

  // 11 MiB of zeros in a few KiB: the receiver stops at the limit.
  const ByteVector zeros(11 * 1024 * 1024, 0);
  const ByteVector bomb = compressor.compress(zeros.data(), zeros.size());
  NetPacket packet(1);
  packet.putDataChunk(bomb.data(), bomb.size());
  NetPacket received = NetPacket::fromBytes([&] {
    Bytes b = packet.bytes();
    b[0] = 0x40;
    return b;
  }());
  const Bytes compressed = received.bytes();
  EXPECT_FALSE(received.decompress(compressor));
  EXPECT_EQ(received.bytes(), compressed);
  const std::string log = capture.text();
  EXPECT_NE(log.find("Error: encrypt"), std::string::npos);
  EXPECT_NE(log.find("Error decompressing packet: "), std::string::npos);
}

TEST(NetPacketTransform, DumpDescribesFilePacketsAtTraceOnly) {
  kvn_test::LogCapture capture;
  NetPacket p(0x50010002);
  p.setFile();
  p.putUInt32(10);
  p.putString(std::string("?"));
  p.putUInt32(3);
  p.putUInt64(4096);
  p.putUInt64(10000);
  p.putUInt32(5);
  p.putDataChunk("hello", 5);
  NetPacket r = NetPacket::fromBytes(p.bytes());
  r.getUInt32();
  const std::size_t cursor = r.cursor();

  r.dump("Receive file packet");
  EXPECT_EQ(capture.text().find("Receive file packet"), std::string::npos);
  kvn_log::setLevel(kvn_log::Trace);
  r.dump("Receive file packet");
  EXPECT_EQ(r.cursor(), cursor);
  const std::string log = capture.text();
  for (const char* line :
       {"Receive file packet (cfg=0x01, type=0x50010002, payload_size=38)", "+ fileType: 10",
        "+ fileName: ?", "+ chunk (id:3, size: 5)", "+ fileSize (sent:4096, total:10000)"})
    EXPECT_NE(log.find(line), std::string::npos) << line << "\n" << log;

  // An abort packet holds less; the dump says so and does not throw.
  NetPacket abort(0x50010002);
  abort.setFile();
  abort.setError();
  abort.putUInt32(10);
  abort.putString(std::string("[FileSender]"));
  EXPECT_NO_THROW(abort.dump("SendPacket"));
  EXPECT_EQ(abort.cursor(), abort.length());
}

}  // namespace
