// Compresses and decompresses whole packet payloads in memory (zlib
// format). One operation at a time: a second concurrent call fails at once
// instead of waiting, and a stop request ends a running operation. The
// zlib states are made once and reset for every operation: a connection
// compresses several small packets per file, and setting up deflate's
// tables each time cost more than compressing them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <vector>

namespace kvn_compression {

class Compressor {
 public:
  using Bytes = std::vector<std::uint8_t>;
  static constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();

  // bufferSize is the working buffer reused by every operation; level is a
  // zlib level (-1 for zlib's default).
  Compressor(std::size_t bufferSize, int level);
  ~Compressor();
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  Bytes compress(const std::uint8_t* data, std::size_t size);
  // Throws once the output would grow beyond maxOutput bytes, so that a
  // small hostile input cannot make it allocate without bound.
  Bytes decompress(const std::uint8_t* data, std::size_t size, std::size_t maxOutput = kUnlimited);

  void stop() { stop_ = true; }
  void resetStop() { stop_ = false; }
  bool busy() const { return busy_; }

 private:
  enum class Mode { Deflate, Inflate };
  class Stream;
  Bytes run(Mode mode, const std::uint8_t* data, std::size_t size, std::size_t maxOutput);
  // The state of mode, made on first use and reset for this operation.
  Stream& stream(Mode mode);

  std::atomic<bool> busy_{false};
  std::atomic<bool> stop_{false};
  Bytes buffer_;
  int level_;
  std::unique_ptr<Stream> deflater_;
  std::unique_ptr<Stream> inflater_;
};

}  // namespace kvn_compression
