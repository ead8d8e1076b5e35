// Turns the bytes of a new version written into it into an rsync delta
// against the signature of the previous version.
#pragma once

#include <cstdint>
#include <cstdio>

#include "kvn_rsync/job_stream.h"

struct rs_signature;

namespace kvn_rsync {

// A signature that cannot be loaded; the caller fetches it again.
inline constexpr std::uint32_t kLoadSigError = 0x10111005;

class DeltaStream : public RsyncJobStream {
 public:
  // Loads the whole signature from the open file (which stays the caller's)
  // and indexes it. A corrupt or truncated signature throws kLoadSigError
  // with "RSync loadsig error (%d): %s".
  explicit DeltaStream(std::FILE* signatureFile);
  ~DeltaStream() override;

 private:
  rs_signature* signature_ = nullptr;
};

}  // namespace kvn_rsync
