// Links that observe the bytes on their way without changing them.
#pragma once

#include <cstdint>

#include "kvn_common/stream.h"

namespace kvn_common {

// Copies the stream into a second sink (not owned), for example to write a
// signature beside the data that goes to the box.
class TeePipe : public StreamLink {
 public:
  explicit TeePipe(StreamSink& second) : second_(second) {}
  void write(const char* data, std::uint32_t size) override;
  void end() override;

 private:
  StreamSink& second_;
};

// Counts the bytes that pass.
class CountPipe : public StreamLink {
 public:
  void write(const char* data, std::uint32_t size) override;
  std::uint64_t count() const { return count_; }

 private:
  std::uint64_t count_ = 0;
};

}  // namespace kvn_common
