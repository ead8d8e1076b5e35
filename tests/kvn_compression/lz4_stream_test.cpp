#include <gtest/gtest.h>

#include "codec_test_support.h"
#include "kvn_compression/lz4_stream.h"

namespace {

using kvn_compression::Lz4CompressStream;
using kvn_compression::Lz4DecompressStream;
using kvn_test::mixedData;
using kvn_test::runThrough;

constexpr std::uint32_t kBlock = 0x200000;

std::string compress(const std::string& data, const std::vector<std::size_t>& pieces = {0x10000}) {
  Lz4CompressStream stream(kBlock);
  return runThrough(stream, data, pieces).text();
}

std::string decompress(const std::string& data,
                       const std::vector<std::size_t>& pieces = {0x10000}) {
  Lz4DecompressStream stream(0x10000);
  return runThrough(stream, data, pieces).text();
}

TEST(Lz4Streams, RoundTripAndCrossCheckWithTheLz4Tool) {
  for (const std::size_t size :
       {std::size_t{1}, std::size_t{5000}, std::size_t{7 * 0x100000 + 3}}) {
    const std::string data = mixedData(size, static_cast<unsigned>(size));
    const std::string frame = compress(data, {1, 0x10000, 5 * 0x100000});
    EXPECT_EQ(kvn_test::filter("lz4 -q -dc", frame), data) << size;
    EXPECT_EQ(decompress(frame, {3, 0x10000, 0x300000}), data) << size;
    for (const char* options : {"-1", "-9 -B4 --content-size", "-B7 -BD --no-frame-crc"}) {
      const std::string theirs = kvn_test::filter(std::string("lz4 -q -c ") + options, data);
      EXPECT_EQ(decompress(theirs, {1, 4099, 0x10000}), data) << size << options;
    }
  }
}

TEST(Lz4Streams, CutsWritesIntoBlockSizedUpdates) {
  // With the default 64 KiB frame blocks every 1 MiB or larger update gives
  // output at once, so a 5 MiB write shows as three updates: 2, 2 and 1 MiB.
  const std::string data = mixedData(5 * 0x100000, 9);
  Lz4CompressStream stream(kBlock);
  const auto frame = runThrough(stream, data, {data.size()});
  EXPECT_EQ(frame.blocks.size(), 1u + 3u + 1u);  // header, updates, end mark
  EXPECT_EQ(frame.ends, 1);
  EXPECT_EQ(decompress(frame.text()), data);
}

TEST(Lz4Streams, OneStreamMakesIndependentFramesOneAfterTheOther) {
  // A volume image ends a frame per block on the same stream: each frame
  // must decode alone, without the blocks before it.
  Lz4CompressStream stream(kBlock);
  for (unsigned seed = 1; seed <= 3; ++seed) {
    const std::string data = mixedData(0x180000 + seed, seed);
    const auto frame = runThrough(stream, data, {0x20000});
    EXPECT_EQ(frame.ends, 1);
    EXPECT_EQ(decompress(frame.text()), data) << seed;
    EXPECT_EQ(kvn_test::filter("lz4 -q -dc", frame.text()), data) << seed;
  }
}

TEST(Lz4Streams, NoDataGivesNoBytesAndStillEndsTheNextElement) {
  Lz4CompressStream stream(kBlock);
  const auto frame = runThrough(stream, "");
  EXPECT_TRUE(frame.blocks.empty());
  EXPECT_EQ(frame.ends, 1);
  Lz4DecompressStream back(0x10000);
  EXPECT_EQ(runThrough(back, "").ends, 1);
}

TEST(Lz4Streams, BadInputThrowsLz4Errors) {
  const std::string data = mixedData(600000, 13);
  const std::string frame = compress(data);
  for (const std::size_t keep : {std::size_t{3}, frame.size() / 2, frame.size() - 1}) {
    Lz4DecompressStream stream(0x10000);
    kvn_test::RecordingSink sink;
    stream.setNext(&sink);
    stream.write(frame.data(), static_cast<std::uint32_t>(keep));
    try {
      stream.end();
      FAIL() << "a cut frame must not pass";
    } catch (const KvnCommonException& e) {
      EXPECT_EQ(e.code, KVN_E_EXCEPTION);
      EXPECT_EQ(std::string(e.what()).rfind("LZ4 error incomplete decompression, return: ", 0), 0u)
          << e.what();
    }
    EXPECT_EQ(sink.ends, 0);
  }
  // The default frame carries no content checksum, so the decoder can only
  // catch damage to the structure; a checksummed frame from the tool also
  // catches damage to the data.
  std::string badMagic = frame;
  badMagic[0] = 0;
  std::string badDescriptor = frame;
  badDescriptor[5] ^= 0x10;  // header checksum no longer matches
  std::string badBlockSize = frame;
  badBlockSize[10] = 0x7f;  // a block larger than the frame allows
  std::string flipped = kvn_test::filter("lz4 -q -c", data);
  flipped[flipped.size() / 2] ^= 0x55;
  for (const std::string& bad : {badMagic, badDescriptor, badBlockSize, flipped}) {
    try {
      decompress(bad);
      FAIL() << "corrupt data must not pass";
    } catch (const KvnCommonException& e) {
      EXPECT_EQ(e.code, KVN_E_EXCEPTION);
      EXPECT_EQ(std::string(e.what()).rfind("LZ4 error ", 0), 0u) << e.what();
    }
  }
}

}  // namespace
