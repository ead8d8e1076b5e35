// Turns the bytes written into it into an rsync signature (MD4 strong sums
// of 8 bytes), the format the box and the local cache keep.
#pragma once

#include <cstdint>

#include "kvn_rsync/job_stream.h"

namespace kvn_rsync {

class SignatureStream : public RsyncJobStream {
 public:
  static constexpr std::uint32_t kStrongSumLength = 8;

  // blockLength: see blockLength() for the length used for a given size.
  explicit SignatureStream(std::uint64_t blockLength);
};

}  // namespace kvn_rsync
