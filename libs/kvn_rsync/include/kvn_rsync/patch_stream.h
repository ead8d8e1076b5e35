// Rebuilds a new version from its basis and the rsync delta written into it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "kvn_rsync/job_stream.h"

namespace kvn_rsync {

// Asked for basis bytes the delta refers to that lie before bytes already
// read by a sequential reader.
inline constexpr std::uint32_t kRollbackError = 0x10800001;

class PatchStream : public RsyncJobStream {
 public:
  // Places up to length bytes in buffer and returns how many it placed
  // (0 means the basis has ended). In random mode offset is the basis
  // position; in sequential mode it is the distance to skip forward from
  // where the previous read ended, for bases that cannot seek back (a
  // download in progress, a volume read in order).
  using BasisReader =
      std::function<std::size_t(std::int64_t offset, std::size_t length, char* buffer)>;

  // A larger output block means fewer, larger basis reads and writes
  // downstream for a delta made mostly of copies.
  PatchStream(BasisReader reader, bool sequential, std::size_t outputBlock = kOutputBlock);

 private:
  void prepareJob() override;
  friend struct PatchCallback;
  std::size_t readBasis(std::int64_t position, std::size_t length, char* buffer);

  BasisReader reader_;
  bool sequential_;
  std::int64_t position_ = 0;
};

}  // namespace kvn_rsync
