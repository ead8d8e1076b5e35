// Reads a whole file and pushes it down the chain: a first block of 64 KiB,
// then blocks of 1 MiB for a file that fills it.
#pragma once

#include <atomic>
#include <string>

#include "kvn_common/stream.h"

namespace kvn_common {

class FileSource : public StreamLink {
 public:
  static constexpr std::uint32_t kBlockSize = 0x10000;
  static constexpr std::uint32_t kLargeBlockSize = 0x100000;

  // stopFlag is the job's stop request, polled before every read; it may be
  // null for work that cannot be stopped.
  explicit FileSource(const std::atomic<bool>* stopFlag) : stopFlag_(stopFlag) {}

  // Pushes the file's content into the next element, then ends it. Throws
  // KVN_E_SERVER when the file cannot be opened or read and KVN_E_STOPPED on
  // a stop request; the chain is not ended then.
  void read(const std::string& path);

 private:
  const std::atomic<bool>* stopFlag_;
};

}  // namespace kvn_common
