// InflateStream on arbitrary input, with either library: the first byte
// picks the engine and the output buffer size, the rest is the gzip data,
// fed in two writes so that state carried between writes is exercised.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "kvn_compression/deflate_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  using kvn_compression::GzipEngine;
  const GzipEngine engine = (data[0] & 1) != 0 ? GzipEngine::Zlib : GzipEngine::Isal;
  const std::uint32_t bufferSize = 1u << (4 + (data[0] >> 1) % 13);
  const char* input = reinterpret_cast<const char*>(data + 1);
  const auto length = static_cast<std::uint32_t>(size - 1);
  const std::uint32_t split = length / 3;
  kvn_compression::InflateStream stream(bufferSize, engine);
  kvn_fuzz::feedInTwoWrites(stream, input, length, split);
  return 0;
}
