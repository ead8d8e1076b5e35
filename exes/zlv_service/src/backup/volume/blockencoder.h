// The bytes a volume image sends for a changed block: its used chunks,
// compressed and encrypted on their own, so that the box can decode the
// block from its descriptor alone. One encoder is used by one thread at a
// time.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "kvn_common/buffer_sink.h"
#include "kvn_common/pipes.h"
#include "kvn_common/stream.h"
#include "kvn_formats/volume_image/hashmap_records.h"

namespace kvn_crypto {
class AesContext;
class EncryptStream;
}  // namespace kvn_crypto
namespace kvn_compression {
class Lz4CompressStream;
}

class BlockEncoder {
 public:
  // Blocks of blockSize bytes made of chunks of chunkSize. cipher: the
  // session's data cipher when the image is encrypted, null otherwise; the
  // encoder encrypts with a context of its own, keyed alike.
  BlockEncoder(std::uint32_t blockSize, std::uint32_t chunkSize, bool compress,
               const kvn_crypto::AesContext* cipher);
  ~BlockEncoder();
  BlockEncoder(const BlockEncoder&) = delete;
  BlockEncoder& operator=(const BlockEncoder&) = delete;

  // The encoded used runs of a block of length bytes (chunks by desc); valid
  // until the next encode(). Throws KVN_E_SERVER when the chain did not hand
  // out all it made.
  std::span<const char> encode(const std::uint8_t* data, std::uint64_t length,
                               const kvn_formats::volume_image::HashmapBlockDesc& desc);
  // The same bytes, moved into out (whose storage the encoder reuses).
  void encodeInto(const std::uint8_t* data, std::uint64_t length,
                  const kvn_formats::volume_image::HashmapBlockDesc& desc, std::vector<char>& out);

 private:
  const std::uint32_t chunkSize_;
  std::unique_ptr<kvn_crypto::AesContext> cipher_;
  kvn_common::CountPipe input_;
  std::unique_ptr<kvn_compression::Lz4CompressStream> lz4_;
  std::unique_ptr<kvn_crypto::EncryptStream> encrypt_;
  kvn_common::CountPipe output_;
  kvn_common::FlatBufferSink buffer_;
  kvn_common::StreamChain chain_;
};
