// Staging of a stream element's output: bytes leave in blocks of exactly
// 64 KiB while data comes in, and the remainder when the element ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "kvn_common/stream.h"

namespace kvn_rsync {

class BlockOutput {
 public:
  static constexpr std::size_t kBlock = 0x10000;

  // Not cleared: a signature is made per file, and only bytes written to
  // the buffer leave it.
  BlockOutput() : buffer_(std::make_unique_for_overwrite<std::uint8_t[]>(kBlock)) {}

  void append(kvn_common::StreamSink& out, const void* data, std::size_t size);
  void putBig(kvn_common::StreamSink& out, std::uint64_t value, std::size_t width);
  // Passes on whatever is held.
  void flush(kvn_common::StreamSink& out);

 private:
  std::unique_ptr<std::uint8_t[]> buffer_;
  std::size_t held_ = 0;
};

}  // namespace kvn_rsync
