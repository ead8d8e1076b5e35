#include <gtest/gtest.h>

#include <QTimeZone>
#include <functional>

#include "kvn_crypto/bytes.h"
#include "kvn_network/netpacket.h"
#include "network_test_support.h"

namespace {

using kvn_network::kMaxPacketSize;
using kvn_network::NetPacket;
using kvn_test::ByteVector;
using kvn_test::thrownBy;
using Bytes = NetPacket::Bytes;

Bytes payloadOf(const NetPacket& p) { return Bytes(p.bytes().begin() + 9, p.bytes().end()); }

// A packet grown with raw chunks to exactly size bytes.
NetPacket packetOfSize(std::size_t size) {
  NetPacket p(1);
  const ByteVector filler(size - 9, 0x11);
  p.putDataChunk(filler.data(), filler.size());
  return p;
}

TEST(NetPacket, NewPacketIsTheHeaderAlone) {
  const NetPacket p = NetPacket::create(0x10000101);
  EXPECT_EQ(p.bytes(), (Bytes{0x00, 0x01, 0x01, 0x00, 0x10, 0x09, 0x00, 0x00, 0x00}));
  EXPECT_EQ(p.type(), 0x10000101u);
  EXPECT_EQ(p.payloadSize(), 0u);
  EXPECT_TRUE(p.atEnd());
  EXPECT_EQ(NetPacket::create().type(), 0u);
}

TEST(NetPacket, ValuesHaveTheirWireLayoutAndReadBack) {
  NetPacket p(7);
  p.putUInt8(0xAB);
  p.putUInt16(0x1234);
  p.putInt32(-2);
  p.putUInt32(0xDEADBEEF);
  p.putInt64(-3);
  p.putUInt64(0x0102030405060708ULL);
  p.putString(std::string("hé"));
  p.putString(QString());
  const std::uint8_t blob[3] = {9, 8, 7};
  p.putByteArray(blob, 3);
  p.putDataChunk(blob, 2);
  p.putStringList({"a", ""});
  const QDateTime when(QDate(2024, 2, 29), QTime(23, 59, 58, 7), Qt::UTC);
  p.putDateTime(when);
  p.putDateTime(QDateTime());

  Bytes expected = {0xAB, 0x34, 0x12, 0xFE, 0xFF, 0xFF, 0xFF, 0xEF, 0xBE, 0xAD, 0xDE, 0xFD,
                    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 8,    7,    6,    5,    4,
                    3,    2,    1,    3,    0,    0,    0,    'h',  0xC3, 0xA9,  // UTF-8
                    1,    0,    0,    0,    0,                                   // empty string
                    3,    0,    0,    0,    9,    8,    7,    9,    8,           // array, chunk
                    2,    0,    0,    0,    1,    0,    0,    0,    'a',  1,    0,    0,
                    0,    0};
  kvn_crypto::appendLe(expected, when.toMSecsSinceEpoch());
  kvn_crypto::appendLe(expected, std::int64_t{0});
  EXPECT_EQ(payloadOf(p), expected);
  EXPECT_EQ(p.length(), 9 + expected.size());
  EXPECT_EQ(p.cursor(), p.length());

  NetPacket r = NetPacket::fromBytes(p.bytes());
  EXPECT_EQ(r.cursor(), 9u);
  EXPECT_EQ(r.type(), 7u);
  EXPECT_EQ(r.getUInt8(), 0xAB);
  EXPECT_EQ(r.getUInt16(), 0x1234);
  EXPECT_EQ(r.getInt32(), -2);
  EXPECT_EQ(r.getUInt32(), 0xDEADBEEFu);
  EXPECT_EQ(r.getInt64(), -3);
  EXPECT_EQ(r.getUInt64(), 0x0102030405060708ULL);
  EXPECT_EQ(r.getString(), QString::fromUtf8("hé"));
  EXPECT_EQ(r.getStdString(), "");
  EXPECT_EQ(r.getUInt32(), 3u);
  EXPECT_EQ(r.getBytes(3), QByteArray("\x09\x08\x07"));
  const std::uint8_t* chunk = r.getDataPointer(2);
  EXPECT_EQ(chunk, r.bytes().data() + r.cursor() - 2);
  EXPECT_EQ(r.getStringList(), (QStringList{"a", ""}));
  const QDateTime back = r.getDateTime();
  EXPECT_EQ(back, when);
  EXPECT_EQ(back.timeSpec(), Qt::UTC);
  EXPECT_TRUE(r.getDateTime().isNull());
  EXPECT_TRUE(r.atEnd());

  // A copy carries the cursor along.
  NetPacket copy = r;
  EXPECT_EQ(copy.cursor(), r.cursor());
}

TEST(NetPacket, ReadingRulesForStringsAndTimes) {
  NetPacket p;
  p.putByteArray("ab\0cd", 5);  // cut at the zero byte
  p.putUInt32(0);               // n = 0 is an empty string
  const QDateTime local(QDate(2023, 6, 1), QTime(12, 0), QTimeZone(3600 * 5));
  p.putDateTime(local);
  NetPacket r = NetPacket::fromBytes(p.bytes());
  EXPECT_EQ(r.getStdString(), "ab");
  EXPECT_EQ(r.getString(), QString());
  const QDateTime back = r.getDateTime();
  EXPECT_EQ(back, local);               // the same instant ...
  EXPECT_EQ(back.time(), QTime(7, 0));  // ... told in UTC
  EXPECT_TRUE(r.atEnd());
}

TEST(NetPacket, PutsStopAtTheSizeLimit) {
  // Each kind fits when it makes the packet exactly the limit, and throws
  // with its text one byte later, leaving the packet as it was.
  struct Case {
    std::size_t valueSize;
    const char* text;
    std::function<void(NetPacket&)> put;
  };
  const ByteVector big(200, 0x22);
  const std::vector<Case> cases = {
      {1, "Error put object", [](NetPacket& p) { p.putUInt8(1); }},
      {2, "Error put object", [](NetPacket& p) { p.putUInt16(1); }},
      {4, "Error put object", [](NetPacket& p) { p.putUInt32(1); }},
      {8, "Error put object", [](NetPacket& p) { p.putUInt64(1); }},
      {8, "Error put object", [](NetPacket& p) { p.putDateTime(QDateTime::currentDateTimeUtc()); }},
      {204, "Error put Array (message too big)",
       [&](NetPacket& p) { p.putByteArray(big.data(), big.size()); }},
      {204, "Error put Array (message too big)",
       [&](NetPacket& p) { p.putString(reinterpret_cast<const char*>(big.data()), big.size()); }},
      {5, "Error put Array (message too big)", [](NetPacket& p) { p.putString(std::string()); }},
      {200, "Error PutDataChunk", [&](NetPacket& p) { p.putDataChunk(big.data(), big.size()); }},
  };
  for (const Case& c : cases) {
    NetPacket fits = packetOfSize(kMaxPacketSize - c.valueSize);
    c.put(fits);
    EXPECT_EQ(fits.length(), kMaxPacketSize) << c.text;
    EXPECT_EQ(fits.bytes().size(), kMaxPacketSize);

    NetPacket over = packetOfSize(kMaxPacketSize - c.valueSize + 1);
    const Bytes before = over.bytes();
    const auto e = thrownBy([&] { c.put(over); });
    EXPECT_STREQ(e.what(), c.text);
    EXPECT_EQ(over.bytes(), before);
  }
}

TEST(NetPacket, InvalidArgumentsAndShortReads) {
  NetPacket p;
  auto e = thrownBy([&] { p.putString(nullptr, 3); });
  EXPECT_STREQ(e.what(), "Error put Array (invalid args)");
  EXPECT_EQ(e.code, KVN_E_ARGUMENTS);
  e = thrownBy([&] { p.putByteArray(QByteArray()); });
  EXPECT_STREQ(e.what(), "Error put Array (invalid args)");
  EXPECT_EQ(e.code, KVN_E_ARGUMENTS);
  EXPECT_THROW(p.putByteArray(QByteArray()), KvnNetPacketException);
  EXPECT_EQ(p.length(), 9u);

  // Lengths the data does not hold are refused before anything is taken.
  p.putUInt32(0xFFFFFFFF);
  p.putUInt8(1);
  const std::vector<std::function<void(NetPacket&)>> reads = {
      [](NetPacket& r) { r.getUInt64(); },          [](NetPacket& r) { r.getString(); },
      [](NetPacket& r) { r.getStringList(); },      [](NetPacket& r) { r.getBytes(6); },
      [](NetPacket& r) { r.getDataPointer(1000); },
  };
  for (const auto& read : reads) {
    NetPacket r = NetPacket::fromBytes(p.bytes());
    e = thrownBy([&] { read(r); });
    EXPECT_STREQ(e.what(), "Error: there isn't enough data to return");
  }
}

TEST(NetPacket, FromBytesChecksTheHeader) {
  auto e = thrownBy([] { NetPacket::fromBytes(Bytes(8, 0)); });
  EXPECT_STREQ(e.what(), "Error packet creation 8");
  Bytes mismatch = NetPacket(3).bytes();
  mismatch.push_back(0);
  e = thrownBy([&] { NetPacket::fromBytes(mismatch); });
  EXPECT_STREQ(e.what(), "Error packet creation 9");

  // A packet of exactly the limit can be built but not received.
  const NetPacket largest = packetOfSize(kMaxPacketSize);
  e = thrownBy([&] { NetPacket::fromBytes(largest.bytes()); });
  EXPECT_STREQ(e.what(), "Error packet creation 10485760");
  const NetPacket below = packetOfSize(kMaxPacketSize - 1);
  EXPECT_EQ(NetPacket::fromBytes(below.bytes()).length(), kMaxPacketSize - 1);

  const QByteArray raw("\x05\x08\x00\x00\x00\x0a\x00\x00\x00\x2a", 10);
  NetPacket p = NetPacket::fromBytes(raw);
  EXPECT_TRUE(p.isFile());
  EXPECT_TRUE(p.isNegotiation());
  EXPECT_EQ(p.type(), 8u);
  EXPECT_EQ(p.getUInt8(), 0x2A);
}

TEST(NetPacket, FlagBitsAreTheirOwn) {
  NetPacket p;
  p.setFile();
  p.setEnd();
  p.setNegotiation();
  p.setError();
  p.setControl();
  EXPECT_EQ(p.cfg(), 0x1F);
  EXPECT_TRUE(p.isFile() && p.isEnd() && p.isNegotiation() && p.isError() && p.isControl());
  EXPECT_FALSE(p.isCompressed() || p.isEncrypted());
  p.setEnd(false);
  p.setError(false);
  EXPECT_EQ(p.cfg(), 0x15);
}

}  // namespace
