#include <gtest/gtest.h>
#include <zlib.h>

#include <thread>

#include "kvn_compression/compressor.h"
#include "network_test_support.h"
#include "process_runner.h"

namespace {

using kvn_compression::Compressor;
using kvn_test::ByteVector;
using kvn_test::thrownBy;

constexpr std::size_t kBuffer = 0x100000;

ByteVector compress(Compressor& c, const ByteVector& data) {
  return c.compress(data.data(), data.size());
}
ByteVector decompress(Compressor& c, const ByteVector& data,
                      std::size_t limit = Compressor::kUnlimited) {
  return c.decompress(data.data(), data.size(), limit);
}

TEST(Compressor, OutputIsZlibThatPythonReadsAndTheReverse) {
  Compressor c(kBuffer, -1);
  for (std::size_t size : {std::size_t{1}, std::size_t{1000}, std::size_t{2 * kBuffer + 17}}) {
    const ByteVector data = kvn_test::mixedBytes(size);
    const ByteVector packed = compress(c, data);
    ASSERT_GE(packed.size(), 2u);
    EXPECT_EQ(packed[0], 0x78) << "zlib header";
    EXPECT_EQ(kvn_test::pythonFilter(kvn_test::kZlibDecompress, packed), data) << size;
    EXPECT_EQ(decompress(c, kvn_test::pythonFilter(kvn_test::kZlibCompress, data)), data) << size;
    EXPECT_EQ(decompress(c, packed), data);
    EXPECT_FALSE(c.busy());
  }
}

TEST(Compressor, HighlyCompressibleDataExpandsPastTheWorkingBuffer) {
  Compressor c(4096, -1);
  const ByteVector zeros(10 * 1024 * 1024, 0);
  const ByteVector packed = compress(c, zeros);
  EXPECT_LT(packed.size(), 20000u);
  EXPECT_EQ(decompress(c, packed), zeros);
  // With a limit, a small input cannot make it allocate without bound.
  const auto e = thrownBy([&] { decompress(c, packed, 1024 * 1024); });
  EXPECT_EQ(e.code, KVN_E_EXCEPTION);
  EXPECT_FALSE(c.busy());
}

TEST(Compressor, BadInputThrowsAndTheCompressorStaysUsable) {
  Compressor c(kBuffer, -1);
  const ByteVector data = kvn_test::mixedBytes(50000);
  ByteVector packed = compress(c, data);

  ByteVector corrupt = packed;
  corrupt[0] = 0x00;  // not a zlib header
  auto e = thrownBy([&] { decompress(c, corrupt); });
  EXPECT_STREQ(e.what(), "Error inflate Z_DATA_ERROR -3");
  EXPECT_EQ(e.code, KVN_E_EXCEPTION);

  const ByteVector truncated(packed.begin(), packed.begin() + packed.size() / 2);
  e = thrownBy([&] { decompress(c, truncated); });
  EXPECT_STREQ(e.what(), "inflate error -5");

  // Bytes after the end of the stream are ignored instead of looping.
  ByteVector trailing = packed;
  trailing.insert(trailing.end(), 100, 0xAB);
  EXPECT_EQ(decompress(c, trailing), data);
  EXPECT_EQ(decompress(c, packed), data);
}

TEST(Compressor, ReusedStatesStartEveryOperationAfresh) {
  // One compressor serves a whole connection; whatever an operation left
  // in its zlib states (an inflate cut short by bad or truncated input, or
  // by the output limit) must not leak into the next one.
  Compressor reused(4096, -1);
  const ByteVector big = kvn_test::mixedBytes(300000);
  const ByteVector packedBig = compress(reused, big);
  const ByteVector truncated(packedBig.begin(), packedBig.begin() + packedBig.size() / 3);
  EXPECT_THROW(decompress(reused, truncated), KvnCommonException);
  EXPECT_THROW(decompress(reused, packedBig, 10000), KvnCommonException);
  ByteVector corrupt = packedBig;
  corrupt[packedBig.size() / 2] ^= 0xFF;
  EXPECT_THROW(decompress(reused, corrupt), KvnCommonException);

  for (std::size_t size : {std::size_t{1}, std::size_t{57}, std::size_t{5000}, big.size()}) {
    const ByteVector data = kvn_test::mixedBytes(size);
    Compressor fresh(4096, -1);
    const ByteVector packed = compress(reused, data);
    EXPECT_EQ(packed, compress(fresh, data)) << "same bytes as a fresh stream, size " << size;
    EXPECT_EQ(decompress(reused, packed), data) << size;
    EXPECT_EQ(kvn_test::pythonFilter(kvn_test::kZlibDecompress, packed), data) << size;
  }
  EXPECT_FALSE(reused.busy());
}

TEST(Compressor, StopFlagEndsAnOperationWithTheStopCode) {
  Compressor c(kBuffer, -1);
  c.stop();
  const ByteVector data = kvn_test::mixedBytes(1000);
  auto e = thrownBy([&] { compress(c, data); });
  EXPECT_STREQ(e.what(), "deflate stopped by User");
  EXPECT_EQ(e.code, KVN_E_STOPPED);
  e = thrownBy([&] { decompress(c, data); });
  EXPECT_STREQ(e.what(), "inflate stopped by User");
  c.resetStop();
  EXPECT_EQ(decompress(c, compress(c, data)), data);
}

TEST(Compressor, SecondConcurrentOperationFailsAtOnce) {
  Compressor c(kBuffer, 9);
  // Random data at level 9 keeps the first operation busy long enough; the
  // stop flag then ends it.
  const ByteVector big = kvn_test::mixedBytes(64 * 1024 * 1024);
  std::uint32_t firstCode = 0;
  std::thread first([&] {
    try {
      compress(c, big);
    } catch (const KvnCommonException& e) {
      firstCode = e.code;
    }
  });
  ASSERT_TRUE(kvn_test::waitFor([&] { return c.busy(); }, std::chrono::seconds(30)));
  const auto e = thrownBy([&] { compress(c, ByteVector(10, 1)); });
  EXPECT_STREQ(e.what(), "Thread is already running ");
  EXPECT_EQ(e.code, KVN_E_EXCEPTION);
  c.stop();
  first.join();
  EXPECT_EQ(firstCode, KVN_E_STOPPED);
  EXPECT_FALSE(c.busy());
}

// One compressor serves every packet of a connection: its library state is
// reset between payloads, whatever the previous one did to it.
TEST(Compressor, StateCarriesNothingFromOnePayloadToTheNext) {
  Compressor c(4096, -1);
  const ByteVector big = kvn_test::mixedBytes(3 * kBuffer + 5);
  const ByteVector small = kvn_test::mixedBytes(700);
  const ByteVector packedBig = compress(c, big);
  const ByteVector packedSmall = compress(c, small);
  ByteVector corrupt = packedBig;
  corrupt[corrupt.size() / 2] ^= 0x5A;
  const ByteVector truncated(packedBig.begin(), packedBig.begin() + packedBig.size() / 3);

  EXPECT_EQ(decompress(c, packedBig), big);
  EXPECT_THROW(decompress(c, corrupt), KvnCommonException);
  EXPECT_EQ(decompress(c, packedSmall), small);
  EXPECT_THROW(decompress(c, truncated), KvnCommonException);
  EXPECT_EQ(decompress(c, packedBig), big);
  // Compressing again after all that gives the same bytes as at first.
  EXPECT_EQ(compress(c, big), packedBig);
  EXPECT_EQ(compress(c, small), packedSmall);
}

// Small payloads sent again take the remembered result: it must be the
// very bytes a fresh compressor gives, for the repeated payload and for
// the ones of the same size that change between its repeats.
TEST(Compressor, RepeatedSmallPayloadsGiveTheBytesOfAFreshCompressor) {
  Compressor c(kBuffer, -1);
  const ByteVector repeated = kvn_test::mixedBytes(41);
  for (int round = 0; round < 12; ++round) {
    for (const ByteVector& data : {kvn_test::mixedBytes(41, 100 + round), repeated,
                                   ByteVector(41, static_cast<std::uint8_t>(round))}) {
      Compressor fresh(kBuffer, -1);
      ByteVector out = {1, 2};
      c.compressInto(data.data(), data.size(), out);
      EXPECT_EQ(ByteVector(out.begin() + 2, out.end()), compress(fresh, data)) << round;
      EXPECT_EQ(decompress(c, ByteVector(out.begin() + 2, out.end())), data) << round;
    }
  }
  // A stop ends a repeat too.
  c.stop();
  EXPECT_EQ(thrownBy([&] { compress(c, repeated); }).code, KVN_E_STOPPED);
}

// The box side compresses with ISA-L: what it writes must be zlib data any
// reader takes, and the limit on the output must hold to the byte.
TEST(Compressor, FastEngineWritesZlibAndTheOutputLimitIsExact) {
  Compressor fast(kBuffer, -1, kvn_compression::GzipEngine::Isal);
  for (std::size_t size : {std::size_t{1}, std::size_t{70000}, std::size_t{3 * kBuffer + 1}}) {
    const ByteVector data = kvn_test::mixedBytes(size);
    const ByteVector packed = compress(fast, data);
    EXPECT_EQ(packed[0] & 0x0F, 8) << "zlib header, deflate method";
    EXPECT_EQ(kvn_test::pythonFilter(kvn_test::kZlibDecompress, packed), data) << size;
    EXPECT_EQ(decompress(fast, packed, size), data) << size;
    if (size > 1) {
      EXPECT_THROW(decompress(fast, packed, size - 1), KvnCommonException) << size;
    }
  }
  // A stop ends it as it ends zlib's.
  fast.stop();
  EXPECT_EQ(thrownBy([&] { compress(fast, ByteVector(10, 1)); }).code, KVN_E_STOPPED);
}

// The appending forms keep what the caller put in front (a packet header)
// and leave it alone when the payload is bad.
TEST(Compressor, AppendingFormsKeepThePrefixAndLeaveItOnFailure) {
  Compressor c(kBuffer, -1);
  const ByteVector data = kvn_test::mixedBytes(100000);
  const ByteVector prefix = {9, 8, 7};
  ByteVector out = prefix;
  c.compressInto(data.data(), data.size(), out);
  EXPECT_EQ(ByteVector(out.begin() + 3, out.end()), compress(c, data));
  ByteVector back = prefix;
  c.decompressInto(out.data() + 3, out.size() - 3, back);
  EXPECT_EQ(ByteVector(back.begin(), back.begin() + 3), prefix);
  EXPECT_EQ(ByteVector(back.begin() + 3, back.end()), data);

  ByteVector failed = prefix;
  const ByteVector garbage(64, 0x33);
  EXPECT_THROW(c.decompressInto(garbage.data(), garbage.size(), failed), KvnCommonException);
  EXPECT_EQ(failed, prefix);
  EXPECT_THROW(c.decompressInto(out.data() + 3, out.size() - 3, failed, 1000), KvnCommonException);
  EXPECT_EQ(failed, prefix);
}

}  // namespace
