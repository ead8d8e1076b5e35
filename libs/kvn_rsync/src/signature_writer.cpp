#include "signature_writer.h"

#include <librsync.h>

#include <algorithm>

#include "kvn_rsync/block_sums.h"

namespace kvn_rsync {

namespace {
// Blocks hashed per round: a multiple of every path's lane count.
constexpr std::size_t kBatch = 64;
}  // namespace

SignatureWriter::SignatureWriter(std::uint32_t blockLength) : blockLength_(blockLength) {}

void SignatureWriter::putHeader(kvn_common::StreamSink& out) {
  if (headerDone_) return;
  headerDone_ = true;
  output_.putBig(out, RS_MD4_SIG_MAGIC, 4);
  output_.putBig(out, blockLength_, 4);
  output_.putBig(out, kStrongLength, 4);
}

void SignatureWriter::addSums(kvn_common::StreamSink& out, std::uint32_t weak,
                              const std::uint8_t* strong) {
  putHeader(out);
  output_.putBig(out, weak, 4);
  output_.append(out, strong, kStrongLength);
}

void SignatureWriter::addBlocks(kvn_common::StreamSink& out, const std::uint8_t* data,
                                std::size_t count) {
  std::uint8_t digests[kBatch * kMd4Length];
  while (count > 0) {
    const std::size_t take = std::min(count, kBatch);
    md4Blocks(data, blockLength_, blockLength_, take, digests);
    for (std::size_t i = 0; i < take; ++i)
      addSums(out, weakSum(data + i * blockLength_, blockLength_), digests + i * kMd4Length);
    data += take * blockLength_;
    count -= take;
  }
}

void SignatureWriter::addBlock(kvn_common::StreamSink& out, const std::uint8_t* data,
                               std::size_t length) {
  std::uint8_t digest[kMd4Length];
  md4(data, length, digest);
  addSums(out, weakSum(data, length), digest);
}

void SignatureWriter::finish(kvn_common::StreamSink& out) {
  putHeader(out);
  output_.flush(out);
}

}  // namespace kvn_rsync
