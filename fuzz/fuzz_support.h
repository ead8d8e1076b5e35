// Pieces the fuzz targets share.
#pragma once

#include <cstdint>

#include "kvn_common/stream.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"

namespace kvn_fuzz {

// Malformed inputs make the code under test log at every step; only fatal
// lines are kept, once per process.
inline void quietLog() {
  static const bool quiet = [] {
    kvn_log::setLevel(kvn_log::Fatal);
    return true;
  }();
  (void)quiet;
}

// The end of a chain under test: takes everything, keeps nothing.
class DiscardSink : public kvn_common::StreamSink {
 public:
  void write(const char*, std::uint32_t) override {}
  void end() override {}
};

// Feeds input to stream in two writes split at split, then ends it, so that
// state carried between writes is exercised. Refusals are the expected
// KvnCommonExceptions; anything else is a finding.
inline void feedInTwoWrites(kvn_common::StreamLink& stream, const char* input, std::uint32_t length,
                            std::uint32_t split) {
  DiscardSink sink;
  stream.setNext(&sink);
  try {
    stream.write(input, split);
    stream.write(input + split, length - split);
    stream.end();
  } catch (const KvnCommonException&) {
  }
}

}  // namespace kvn_fuzz
