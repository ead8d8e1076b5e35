#include "backup/volume/blockencoder.h"

#include "kvn_compression/lz4_stream.h"
#include "kvn_crypto/aes_context.h"
#include "kvn_crypto/aes_stream.h"
#include "kvn_formats/volume_image/block_digest.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"

namespace vi = kvn_formats::volume_image;

BlockEncoder::BlockEncoder(std::uint32_t blockSize, std::uint32_t chunkSize, bool compress,
                           const kvn_crypto::AesContext* cipher)
    : chunkSize_(chunkSize) {
  chain_.append(input_);
  if (compress) {
    lz4_ = std::make_unique<kvn_compression::Lz4CompressStream>(blockSize);
    chain_.append(*lz4_);
  }
  if (cipher) {
    cipher_ = std::make_unique<kvn_crypto::AesContext>();
    cipher_->initLike(*cipher);
    encrypt_ = std::make_unique<kvn_crypto::EncryptStream>(
        *cipher_, kvn_crypto::EncryptStream::kVolumeBlockSize);
    chain_.append(*encrypt_);
  }
  chain_.append(output_).append(buffer_);
}

BlockEncoder::~BlockEncoder() = default;

std::span<const char> BlockEncoder::encode(const std::uint8_t* data, std::uint64_t length,
                                           const vi::HashmapBlockDesc& desc) {
  buffer_.clear();
  const std::uint64_t before = output_.count();
  for (const auto& run : vi::usedRuns(desc, length, chunkSize_)) {
    chain_.head()->write(reinterpret_cast<const char*>(data + run.offset),
                         std::uint32_t(run.length));
  }
  chain_.head()->end();
  if (output_.count() - before != buffer_.size()) {
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "outBuffer doesn't hold all the data");
  }
  return {buffer_.data(), std::size_t(buffer_.size())};
}

void BlockEncoder::encodeInto(const std::uint8_t* data, std::uint64_t length,
                              const vi::HashmapBlockDesc& desc, std::vector<char>& out) {
  encode(data, length, desc);
  buffer_.swap(out);
}
