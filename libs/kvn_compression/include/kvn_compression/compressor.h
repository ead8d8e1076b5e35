// Compresses and decompresses whole packet payloads in memory (zlib
// format). One operation at a time: a second concurrent call fails at once
// instead of waiting, and a stop request ends a running operation.
//
// The library state lives as long as the compressor and is reset for each
// payload: a connection moves thousands of packets, and setting the state
// up again for each one cost more than the smaller ones' compression.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

#include "kvn_compression/gzip_engine.h"

namespace kvn_compression {

class Compressor {
 public:
  using Bytes = std::vector<std::uint8_t>;
  static constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

  // bufferSize is the first output allocation for a payload whose size is
  // not known better; level is a zlib level (-1 for zlib's default).
  // deflateEngine chooses the compressing library: zlib at level, or ISA-L
  // at its fastest level, for a peer that has to keep up with a fast link.
  // Decompression always runs on ISA-L, which reads any zlib stream.
  Compressor(std::size_t bufferSize, int level, GzipEngine deflateEngine = GzipEngine::Zlib);
  ~Compressor();
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  Bytes compress(const std::uint8_t* data, std::size_t size);
  // Throws once the output would grow beyond maxOutput bytes, so that a
  // small hostile input cannot make it allocate without bound.
  Bytes decompress(const std::uint8_t* data, std::size_t size, std::size_t maxOutput = kUnlimited);
  // The same, appending to out: the caller can keep a header in front
  // without copying the result again. On a throw out is left as it was.
  void compressInto(const std::uint8_t* data, std::size_t size, Bytes& out);
  void decompressInto(const std::uint8_t* data, std::size_t size, Bytes& out,
                      std::size_t maxOutput = kUnlimited);

  void stop() { stop_ = true; }
  void resetStop() { stop_ = false; }
  bool busy() const { return busy_; }

 private:
  class Deflater;
  class Inflater;
  class Repeats;

  std::atomic<bool> busy_{false};
  std::atomic<bool> stop_{false};
  std::size_t bufferSize_;
  std::unique_ptr<Deflater> deflater_;
  std::unique_ptr<Inflater> inflater_;
  std::unique_ptr<Repeats> repeats_;
};

}  // namespace kvn_compression
