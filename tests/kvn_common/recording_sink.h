// A chain end for tests: keeps every block it receives, counts end() calls
// and can be told to throw at a given block.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "kvn_common/stream.h"
#include "kvn_log/exception.h"

namespace kvn_test {

class RecordingSink : public kvn_common::StreamSink {
 public:
  void write(const char* data, std::uint32_t size) override {
    if (onWrite) onWrite(blocks.size());
    blocks.emplace_back(data, size);
    if (throwAtBlock == blocks.size()) {
      throw KvnCommonException(KVN_HERE, KVN_E_NETWORK, "sink failed");
    }
  }
  void end() override { ++ends; }

  std::string text() const {
    std::string all;
    for (const auto& b : blocks) all += b;
    return all;
  }

  std::vector<std::string> blocks;
  int ends = 0;
  std::size_t throwAtBlock = 0;              // 1-based; 0 never throws
  std::function<void(std::size_t)> onWrite;  // called with the count of earlier blocks
};

}  // namespace kvn_test
