// Writes a signature in librsync's format (RS_MD4_SIG_MAGIC, block length,
// strong-sum length 8, then weak and strong sum of every block) from blocks
// or from sums already known.
#pragma once

#include <cstddef>
#include <cstdint>

#include "block_output.h"

namespace kvn_rsync {

class SignatureWriter {
 public:
  static constexpr std::size_t kStrongLength = 8;

  explicit SignatureWriter(std::uint32_t blockLength);

  std::uint32_t blockLength() const { return blockLength_; }

  // count whole blocks lying one after the other at data.
  void addBlocks(kvn_common::StreamSink& out, const std::uint8_t* data, std::size_t count);
  // One block of length bytes (the last one may be short).
  void addBlock(kvn_common::StreamSink& out, const std::uint8_t* data, std::size_t length);
  void addSums(kvn_common::StreamSink& out, std::uint32_t weak, const std::uint8_t* strong);
  // Writes the header when nothing was added, then everything held.
  void finish(kvn_common::StreamSink& out);

 private:
  void putHeader(kvn_common::StreamSink& out);

  std::uint32_t blockLength_;
  bool headerDone_ = false;
  BlockOutput output_;
};

}  // namespace kvn_rsync
