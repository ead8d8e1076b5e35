#include <gtest/gtest.h>

#include "codec_test_support.h"
#include "kvn_compression/deflate_stream.h"

namespace {

using kvn_compression::DeflateStream;
using kvn_compression::GzipEngine;
using kvn_compression::InflateStream;
using kvn_test::mixedData;
using kvn_test::runThrough;

constexpr std::uint32_t kBuffer = 0x10000;

std::string deflate(GzipEngine engine, const std::string& data,
                    const std::vector<std::size_t>& pieces = {0x10000}) {
  DeflateStream stream(kBuffer, engine);
  return runThrough(stream, data, pieces).text();
}

std::string inflate(GzipEngine engine, const std::string& data,
                    const std::vector<std::size_t>& pieces = {0x10000}) {
  InflateStream stream(kBuffer, engine);
  return runThrough(stream, data, pieces).text();
}

// Runs fn and returns the message of the KvnCommonException it throws.
template <typename Fn>
std::string failure(Fn fn) {
  try {
    fn();
  } catch (const KvnCommonException& e) {
    EXPECT_EQ(e.code, KVN_E_EXCEPTION);
    return e.what();
  }
  ADD_FAILURE() << "no exception";
  return {};
}

class GzipStreams : public ::testing::TestWithParam<GzipEngine> {};

INSTANTIATE_TEST_SUITE_P(Engines, GzipStreams,
                         ::testing::Values(GzipEngine::Isal, GzipEngine::Zlib),
                         [](const auto& info) {
                           return info.param == GzipEngine::Isal ? "Isal" : "Zlib";
                         });

TEST_P(GzipStreams, OutputDecodesWithGzipAndBothInflateEnginesWhateverTheWriteSizes) {
  const std::vector<std::vector<std::size_t>> pieceSets = {
      {0x10000}, {1, 7, 4093, 70000}, {1 << 22}};
  const std::vector<std::size_t> sizes = {1, 1000, 3 * 0x100000 + 17};
  for (const std::size_t size : sizes) {
    const std::string data = mixedData(size, static_cast<unsigned>(size));
    for (const auto& pieces : pieceSets) {
      const std::string packed = deflate(GetParam(), data, pieces);
      EXPECT_EQ(kvn_test::filter("gzip -dc", packed), data) << size;
      EXPECT_EQ(inflate(GzipEngine::Isal, packed, pieces), data) << size;
      EXPECT_EQ(inflate(GzipEngine::Zlib, packed, pieces), data) << size;
    }
  }
}

TEST_P(GzipStreams, InflatesWhatGzipWrites) {
  const std::string data = mixedData(2 * 0x100000 + 5, 7);
  for (const char* level : {"-1", "-6", "-9"}) {
    const std::string packed = kvn_test::filter(std::string("gzip -c ") + level, data);
    EXPECT_EQ(inflate(GetParam(), packed, {1, 333, 0x10000}), data) << level;
  }
}

TEST_P(GzipStreams, PassesOutputOnInWholeBuffers) {
  const std::string data = mixedData(4 * 0x100000, 3);
  DeflateStream deflater(kBuffer, GetParam());
  const auto packed = runThrough(deflater, data);
  ASSERT_GT(packed.blocks.size(), 2u);
  for (std::size_t i = 0; i + 1 < packed.blocks.size(); ++i) {
    EXPECT_EQ(packed.blocks[i].size(), kBuffer) << i;
  }
  // A small compressed input that expands hugely still leaves in buffer-sized blocks.
  const std::string zeros(64 * 0x100000, '\0');
  InflateStream inflater(kBuffer, GetParam());
  const auto bomb = runThrough(inflater, deflate(GetParam(), zeros));
  std::size_t total = 0;
  for (const auto& b : bomb.blocks) {
    EXPECT_LE(b.size(), kBuffer);
    total += b.size();
  }
  EXPECT_EQ(total, zeros.size());
}

TEST_P(GzipStreams, NoDataGivesNoBytesAndStillEndsTheNextElement) {
  DeflateStream deflater(kBuffer, GetParam());
  const auto packed = runThrough(deflater, "");
  EXPECT_TRUE(packed.blocks.empty());
  EXPECT_EQ(packed.ends, 1);
  InflateStream inflater(kBuffer, GetParam());
  const auto unpacked = runThrough(inflater, "");
  EXPECT_TRUE(unpacked.blocks.empty());
  EXPECT_EQ(unpacked.ends, 1);
}

TEST_P(GzipStreams, BadInputThrowsZlibErrors) {
  const std::string data = mixedData(300000, 11);
  const std::string packed = deflate(GetParam(), data);

  // Cut short: only end() can tell.
  for (const std::size_t keep : {std::size_t{5}, packed.size() / 2, packed.size() - 4}) {
    InflateStream stream(kBuffer, GetParam());
    kvn_test::RecordingSink sink;
    stream.setNext(&sink);
    stream.write(packed.data(), static_cast<std::uint32_t>(keep));
    const std::string text = failure([&] { stream.end(); });
    EXPECT_EQ(text.rfind("ZLib error", 0), 0u) << text;
    EXPECT_EQ(sink.ends, 0);
  }

  // Not gzip at all, a flipped byte inside the data, a wrong checksum.
  std::string flipped = packed;
  flipped[packed.size() / 2] ^= 0x55;
  std::string badCrc = packed;
  badCrc[packed.size() - 6] ^= 0x01;
  for (const std::string& bad : {std::string("plain text, not gzip"), flipped, badCrc}) {
    const std::string text = failure([&] { inflate(GetParam(), bad); });
    EXPECT_EQ(text.rfind("ZLib error", 0), 0u) << text;
  }

  // Bytes behind the end of the member would be lost unseen.
  for (const std::string& tail : {std::string("t"), std::string("tail"), std::string(20, '\0')}) {
    const std::string text = failure([&] { inflate(GetParam(), packed + tail); });
    EXPECT_EQ(text, "ZLib error -3: data after the end of the gzip stream") << tail.size();
    // Also when the extra bytes come in a write of their own.
    const std::string later = failure([&] { inflate(GetParam(), packed + tail, {packed.size()}); });
    EXPECT_EQ(later, text);
  }
}

TEST(GzipEngineSetting, IsTheDefaultOfNewStreams) {
  EXPECT_EQ(kvn_compression::gzipEngine(), GzipEngine::Isal);
  const std::string data = mixedData(200000, 5);
  const std::string isal = deflate(GzipEngine::Isal, data);
  kvn_compression::setGzipEngine(GzipEngine::Zlib);
  DeflateStream stream(kBuffer);
  const std::string viaSetting = runThrough(stream, data).text();
  kvn_compression::setGzipEngine(GzipEngine::Isal);
  EXPECT_EQ(viaSetting, deflate(GzipEngine::Zlib, data));
  EXPECT_NE(viaSetting, isal);  // same format, different bytes
}

}  // namespace
