// Lz4DecompressStream on arbitrary input: the first byte picks the output
// buffer size, the rest is the frame data, fed in two writes.
#include <cstddef>
#include <cstdint>

#include "kvn_compression/lz4_stream.h"
#include "kvn_log/exception.h"

namespace {

class DiscardSink : public kvn_common::StreamSink {
 public:
  void write(const char*, std::uint32_t) override {}
  void end() override {}
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint32_t bufferSize = 1u << (4 + data[0] % 13);
  const char* input = reinterpret_cast<const char*>(data + 1);
  const auto length = static_cast<std::uint32_t>(size - 1);
  const std::uint32_t split = length / 2;
  DiscardSink sink;
  kvn_compression::Lz4DecompressStream stream(bufferSize);
  stream.setNext(&sink);
  try {
    stream.write(input, split);
    stream.write(input + split, length - split);
    stream.end();
  } catch (const KvnCommonException&) {
  }
  return 0;
}
