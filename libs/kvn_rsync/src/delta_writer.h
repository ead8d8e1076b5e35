// Writes a delta in librsync's format: RS_DELTA_MAGIC, LITERAL and COPY
// commands with the shortest encodings, RS_OP_END. Adjacent copies merge
// into one command.
#pragma once

#include <cstddef>
#include <cstdint>

#include "block_output.h"

namespace kvn_rsync {

class DeltaWriter {
 public:
  DeltaWriter() = default;

  void literal(kvn_common::StreamSink& out, const std::uint8_t* data, std::size_t length);
  void copy(kvn_common::StreamSink& out, std::uint64_t basisOffset, std::uint64_t length);
  // Where a copy would have to start to extend the pending one.
  std::uint64_t copyEnd() const { return copyStart_ + copyLength_; }
  bool copyPending() const { return copyLength_ > 0; }
  // Ends the delta and passes on everything held.
  void finish(kvn_common::StreamSink& out);

 private:
  void putMagic(kvn_common::StreamSink& out);
  void flushCopy(kvn_common::StreamSink& out);

  bool magicDone_ = false;
  std::uint64_t copyStart_ = 0;
  std::uint64_t copyLength_ = 0;
  BlockOutput output_;
};

}  // namespace kvn_rsync
