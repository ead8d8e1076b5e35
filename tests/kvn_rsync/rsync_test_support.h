// Helpers shared by the rsync tests: test data, a recording sink, feeding a
// stream the way the file source does, and the real rdiff tool.
#pragma once

#include <QStringList>
#include <cstdint>
#include <string>
#include <vector>

#include "kvn_common/stream.h"

namespace kvn_rsync_test {

class RecordingSink : public kvn_common::StreamSink {
 public:
  void write(const char* data, std::uint32_t size) override {
    bytes.append(data, size);
    blocks.push_back(size);
  }
  void end() override { ++ends; }

  std::string bytes;
  std::vector<std::uint32_t> blocks;
  int ends = 0;
};

// Deterministic pseudo-random bytes.
std::string randomBytes(std::size_t size, std::uint64_t seed);

// A later version of basis: 16 bytes overwritten in every MiB, 100 bytes
// inserted in the middle and 10 appended, so most blocks still match.
std::string sparselyEdited(const std::string& basis);

// Writes input into stream in pieces of chunk bytes, checks that every
// block passed on before end() is exactly 64 KiB, then ends the stream.
// Returns what reached the sink.
RecordingSink pushThrough(kvn_common::StreamLink& stream, const std::string& input,
                          std::size_t chunk = 0x10000);

// Runs rdiff with arguments and fails the test unless it exits with 0.
void rdiff(const QStringList& arguments);

}  // namespace kvn_rsync_test
