// Lz4DecompressStream on arbitrary input: the first byte picks the output
// buffer size, the rest is the frame data, fed in two writes.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "kvn_compression/lz4_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint32_t bufferSize = 1u << (4 + data[0] % 13);
  const char* input = reinterpret_cast<const char*>(data + 1);
  const auto length = static_cast<std::uint32_t>(size - 1);
  const std::uint32_t split = length / 2;
  kvn_compression::Lz4DecompressStream stream(bufferSize);
  kvn_fuzz::feedInTwoWrites(stream, input, length, split);
  return 0;
}
