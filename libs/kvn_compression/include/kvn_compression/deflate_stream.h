// Stream-chain links that gzip-compress file data on its way to the box and
// decompress it on its way back.
#pragma once

#include <cstdint>
#include <memory>

#include "kvn_common/stream.h"
#include "kvn_compression/gzip_engine.h"

namespace kvn_compression {

class GzipCodec;

// The shared driver: feeds the bytes through one library call after the
// other and passes the output on in blocks of the buffer size. Library
// failures throw KVN_E_EXCEPTION with "ZLib error %d: %s".
class GzipStream : public kvn_common::StreamLink {
 public:
  ~GzipStream() override;

  // Writes of no bytes are ignored: a stream that never received data
  // produces no bytes at all.
  void write(const char* data, std::uint32_t size) override;
  // Finishes the stream, passes the rest on, then ends the next element.
  void end() override;

 protected:
  enum class Direction { Compress, Decompress };
  GzipStream(Direction direction, std::uint32_t bufferSize, GzipEngine engine);

 private:
  void passOn();

  Direction direction_;
  GzipEngine engine_;
  std::unique_ptr<GzipCodec> codec_;  // made at the first write
  std::unique_ptr<char[]> buffer_;
  std::uint32_t bufferSize_;
  std::uint32_t used_ = 0;
  bool ended_ = false;  // the codec has seen the end of the gzip stream
};

// gzip at level 1: speed over ratio.
class DeflateStream : public GzipStream {
 public:
  explicit DeflateStream(std::uint32_t bufferSize, GzipEngine engine = gzipEngine())
      : GzipStream(Direction::Compress, bufferSize, engine) {}
};

// Reads one gzip member. Corrupt, truncated or trailing data throws; the
// output goes on in buffer-sized blocks, so no input can make it allocate
// more than the buffer.
class InflateStream : public GzipStream {
 public:
  explicit InflateStream(std::uint32_t bufferSize, GzipEngine engine = gzipEngine())
      : GzipStream(Direction::Decompress, bufferSize, engine) {}
};

}  // namespace kvn_compression
