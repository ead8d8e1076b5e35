// The frame reader fed from memory: what a broken or hostile peer can send.
#include <gtest/gtest.h>

#include "kvn_compression/compressor.h"
#include "kvn_network/byte_stream.h"
#include "kvn_network/net_receiver.h"
#include "sim_fixture.h"

namespace {

using kvn_network::MemoryStream;
using kvn_network::NetPacket;
using kvn_network::NetReceiver;

QByteArray frame(const NetPacket& packet) {
  return QByteArray(reinterpret_cast<const char*>(packet.bytes().data()),
                    static_cast<qsizetype>(packet.bytes().size()));
}

QByteArray header(std::uint8_t cfg, std::uint32_t type, std::uint32_t length) {
  QByteArray h(9, '\0');
  h[0] = static_cast<char>(cfg);
  for (int i = 0; i < 4; ++i) {
    h[1 + i] = static_cast<char>(type >> (8 * i));
    h[5 + i] = static_cast<char>(length >> (8 * i));
  }
  return h;
}

struct Reader {
  explicit Reader(QByteArray bytes) : stream(std::move(bytes)), receiver(compressor, 1000) {
    receiver.setStream(&stream);
  }
  kvn_compression::Compressor compressor{0x100000, -1};
  MemoryStream stream;
  NetReceiver receiver;
};

TEST(NetReceiverTest, RejectsLengthsOutsideTheLimits) {
  for (std::uint32_t length : {0u, 8u, 0xA00001u, 0xFFFFFFFFu}) {
    Reader r(header(0, 1, length) + QByteArray(16, 'x'));
    const KvnCommonException e = kvn_test::thrownBy([&] { r.receiver.readFrame(); });
    EXPECT_EQ(e.code, KVN_E_EXCEPTION);
    EXPECT_NE(std::string(e.what()).find("Malformed packet: packetSize=" + std::to_string(length)),
              std::string::npos)
        << e.what();
  }
}

TEST(NetReceiverTest, ShortOrTruncatedFramesEndAsClosedSocket) {
  for (const QByteArray& bytes :
       {QByteArray("\x00\x01", 2), header(0, 1, 20) + QByteArray(3, 'y')}) {
    Reader r(bytes);
    const KvnCommonException e =
        kvn_test::thrownBy([&] { r.receiver.receive(NetReceiver::General); });
    EXPECT_EQ(e.code, KVN_E_SOCKET_CLOSED);
  }
  Reader none(QByteArray{});
  none.receiver.setStream(nullptr);
  EXPECT_STREQ(kvn_test::thrownBy([&] { none.receiver.readFrame(); }).what(), "Socket reset");
}

TEST(NetReceiverTest, SortsFramesAndDropsPings) {
  NetPacket ping(kvn_network::kPingPacketType);
  NetPacket control(kvn_network::kTransferControlType);
  control.setControl();
  NetPacket file(0x50010002);
  file.setFile();
  NetPacket general(5);
  general.putUInt32(77);
  Reader r(frame(ping) + frame(control) + frame(ping) + frame(file) + frame(general));
  EXPECT_EQ(r.receiver.receive(NetReceiver::General).getUInt32(), 77u);
  EXPECT_EQ(r.receiver.queued(NetReceiver::Control), 1u);
  EXPECT_EQ(r.receiver.queued(NetReceiver::File), 1u);
  EXPECT_EQ(r.receiver.receiveAny().type(), 0x50010002u);
  EXPECT_EQ(r.receiver.receiveAny().type(), kvn_network::kTransferControlType);
}

TEST(NetReceiverTest, UndoesCompressionWithoutCryptoKeepsEncryptedPayload) {
  kvn_compression::Compressor compressor(0x100000, -1);
  NetPacket packed(3);
  packed.putString(std::string(5000, 'z'));
  ASSERT_TRUE(packed.compress(compressor));
  // Marked encrypted but nobody can decrypt it: kept as received.
  QByteArray sealed = header(0x80, 4, 12) + QByteArray("abc", 3);
  Reader r(frame(packed) + sealed);
  EXPECT_EQ(r.receiver.receive(NetReceiver::General).getStdString(), std::string(5000, 'z'));
  NetPacket kept = r.receiver.receive(NetReceiver::General);
  EXPECT_TRUE(kept.isEncrypted());
  EXPECT_EQ(kept.payloadSize(), 3u);
}

}  // namespace
