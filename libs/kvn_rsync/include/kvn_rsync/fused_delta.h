// The hand-written delta element: one pass over the new version gives both
// its rsync delta against the previous signature (librsync's delta format,
// passed to the next element) and its own signature (librsync's MD4 format,
// written to a second sink). Blocks that still sit where they were keep the
// sums they had, so most of an unchanged file is hashed once.
#pragma once

#include <cstdint>
#include <memory>

#include "kvn_common/stream.h"

namespace kvn_rsync {

class SignatureSums;

class FusedDeltaStream : public kvn_common::StreamLink {
 public:
  // previous and newSignature stay the caller's and must outlive the
  // stream; newBlockLength is the new signature's, see blockLength().
  // end() ends newSignature first, then the next element.
  FusedDeltaStream(const SignatureSums& previous, std::uint64_t newBlockLength,
                   kvn_common::StreamSink& newSignature);
  ~FusedDeltaStream() override;
  FusedDeltaStream(const FusedDeltaStream&) = delete;
  FusedDeltaStream& operator=(const FusedDeltaStream&) = delete;

  void write(const char* data, std::uint32_t size) override;
  void end() override;

 private:
  class Engine;
  std::unique_ptr<Engine> engine_;
};

}  // namespace kvn_rsync
