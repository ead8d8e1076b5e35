// One library's gzip compressor or decompressor behind a single call, so the
// stream logic exists once for every library.
#pragma once

#include <cstddef>
#include <memory>

#include "kvn_compression/gzip_engine.h"

namespace kvn_compression {

struct CodecStep {
  std::size_t consumed = 0;
  std::size_t produced = 0;
  bool ended = false;  // the gzip stream is complete
};

class GzipCodec {
 public:
  virtual ~GzipCodec() = default;
  // One library call from in to out. finish tells that no input follows.
  // Errors throw "ZLib error %d: %s" with zlib's code, also for ISA-L, so
  // the log reads the same whichever library runs.
  virtual CodecStep step(const char* in, std::size_t inSize, char* out, std::size_t outSize,
                         bool finish) = 0;
};

std::unique_ptr<GzipCodec> makeZlibDeflate();
std::unique_ptr<GzipCodec> makeZlibInflate();
std::unique_ptr<GzipCodec> makeIsalDeflate();
std::unique_ptr<GzipCodec> makeIsalInflate();

[[noreturn]] void throwZlibError(int result, const char* message);

}  // namespace kvn_compression
