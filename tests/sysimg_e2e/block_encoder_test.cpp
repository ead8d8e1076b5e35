// The bytes of a changed block as the box decodes them: whichever encoder
// made them (each thread that encodes has its own), and whatever block the
// encoder made before.
#include <gtest/gtest.h>

#include <random>

#include "backup/volume/blockencoder.h"
#include "backup/volume/volumesender.h"
#include "kvn_common/buffer_sink.h"
#include "kvn_common/stream.h"
#include "kvn_compression/lz4_stream.h"
#include "kvn_crypto/aes_context.h"
#include "kvn_crypto/aes_stream.h"
#include "kvn_formats/volume_image/block_digest.h"

namespace {

namespace vi = kvn_formats::volume_image;

std::vector<std::uint8_t> blockBytes(std::uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<std::uint8_t> bytes(kImageBlockSize);
  // Compressible and incompressible stretches.
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = (i / 8192) % 2 ? std::uint8_t(random()) : std::uint8_t(i % 7);
  }
  return bytes;
}

// The used chunks: a run at the start, single chunks, and the last one.
vi::HashmapBlockDesc usedChunks() {
  vi::HashmapBlockDesc desc;
  for (std::uint32_t chunk : {0u, 1u, 2u, 3u, 100u, 102u, 103u, 511u}) desc.setChunkUsed(chunk);
  return desc;
}

std::vector<char> plainOf(const std::vector<std::uint8_t>& block,
                          const vi::HashmapBlockDesc& desc) {
  std::vector<char> plain;
  for (const auto& run : vi::usedRuns(desc, block.size(), kImageChunkSize)) {
    plain.insert(plain.end(), block.begin() + std::ptrdiff_t(run.offset),
                 block.begin() + std::ptrdiff_t(run.offset + run.length));
  }
  return plain;
}

// What the box does with one block's bytes.
std::vector<char> decode(std::span<const char> encoded, bool compressed,
                         kvn_crypto::AesContext* cipher) {
  kvn_common::StreamChain chain;
  std::unique_ptr<kvn_crypto::DecryptStream> decrypt;
  std::unique_ptr<kvn_compression::Lz4DecompressStream> lz4;
  if (cipher) chain.append(*(decrypt = std::make_unique<kvn_crypto::DecryptStream>(*cipher)));
  if (compressed) {
    chain.append(*(lz4 = std::make_unique<kvn_compression::Lz4DecompressStream>(kImageBlockSize)));
  }
  kvn_common::FlatBufferSink plain;
  chain.append(plain);
  chain.head()->write(encoded.data(), std::uint32_t(encoded.size()));
  chain.head()->end();
  return {plain.data(), plain.data() + plain.size()};
}

TEST(BlockEncoder, EveryEncoderGivesBlocksTheBoxDecodesOnTheirOwn) {
  kvn_crypto::AesContext session;
  session.init(kvn_crypto::Bytes(32, 0x5a), kvn_crypto::Bytes(32, 0x5a), 256,
               kvn_crypto::AesContext::Cbc);
  const std::vector<std::uint8_t> first = blockBytes(1);
  const std::vector<std::uint8_t> second = blockBytes(2);
  const vi::HashmapBlockDesc desc = usedChunks();
  for (const bool compress : {false, true}) {
    for (kvn_crypto::AesContext* cipher :
         {static_cast<kvn_crypto::AesContext*>(nullptr), &session}) {
      SCOPED_TRACE(testing::Message() << "lz4 " << compress << ", encrypted " << bool(cipher));
      BlockEncoder callers(kImageBlockSize, kImageChunkSize, compress, cipher);
      BlockEncoder readers(kImageBlockSize, kImageChunkSize, compress, cipher);
      // The reader's bytes go into a slot whose storage comes back to the
      // encoder: what was handed over must not change on the next block.
      std::vector<char> handOvers[2];
      int block = 0;
      for (const auto* bytes : {&first, &second, &first}) {
        const std::vector<char> expected = plainOf(*bytes, desc);
        const auto fromCaller = callers.encode(bytes->data(), bytes->size(), desc);
        const std::vector<char> callerBytes(fromCaller.begin(), fromCaller.end());
        std::vector<char>& slot = handOvers[block++ % 2];
        readers.encodeInto(bytes->data(), bytes->size(), desc, slot);
        const std::vector<char> handedOver = slot;
        readers.encode(second.data(), second.size(), desc);
        EXPECT_EQ(slot, handedOver);
        EXPECT_EQ(decode(callerBytes, compress, cipher), expected);
        EXPECT_EQ(decode(slot, compress, cipher), expected);
      }
      // A block that ends inside a chunk: only its own bytes.
      const auto cut = callers.encode(first.data(), first.size() - 100, desc);
      std::vector<char> expected = plainOf(first, desc);
      expected.resize(expected.size() - 100);
      EXPECT_EQ(decode(cut, compress, cipher), expected);
    }
  }
}

}  // namespace
