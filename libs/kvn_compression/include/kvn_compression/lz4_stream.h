// Stream-chain links that turn volume data into an LZ4 frame and back.
#pragma once

#include <cstdint>
#include <memory>

#include "kvn_common/stream.h"

struct LZ4F_cctx_s;
struct LZ4F_dctx_s;

namespace kvn_compression {

struct Lz4CompressionFree {
  void operator()(LZ4F_cctx_s* context) const;
};
struct Lz4DecompressionFree {
  void operator()(LZ4F_dctx_s* context) const;
};

// Compresses with the default frame preferences. Each write is cut into
// pieces of at most the block size, so the output buffer, sized for one
// piece, always suffices.
class Lz4CompressStream : public kvn_common::StreamLink {
 public:
  explicit Lz4CompressStream(std::uint32_t blockSize);
  ~Lz4CompressStream() override;

  // Writes of no bytes are ignored: a stream that never received data
  // produces no bytes at all, not even a frame header.
  void write(const char* data, std::uint32_t size) override;
  void end() override;

 private:
  void passOn(std::size_t produced);

  std::unique_ptr<LZ4F_cctx_s, Lz4CompressionFree> context_;  // made at the first write
  bool inFrame_ = false;
  std::uint32_t blockSize_;
  std::size_t bufferSize_;
  std::unique_ptr<char[]> buffer_;
};

// Decompresses LZ4 frames. Output goes on in buffer-sized pieces; the frame
// decoder's own buffers are bounded by the largest block size the format
// allows (4 MiB), whatever the input claims.
class Lz4DecompressStream : public kvn_common::StreamLink {
 public:
  explicit Lz4DecompressStream(std::uint32_t bufferSize);
  ~Lz4DecompressStream() override;

  void write(const char* data, std::uint32_t size) override;
  // Throws when the last frame is incomplete.
  void end() override;

 private:
  std::unique_ptr<LZ4F_dctx_s, Lz4DecompressionFree> context_;  // made at the first write
  std::uint32_t bufferSize_;
  std::unique_ptr<char[]> buffer_;
};

}  // namespace kvn_compression
