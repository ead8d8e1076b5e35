// The signature of a file's previous version, loaded for a delta, and the
// element that turns the new version into its delta and its new signature.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "kvn_common/stream.h"

namespace kvn_rsync {

class DeltaStream;
class SignatureSums;

class PreviousSignature {
 public:
  // Reads the whole signature from the open file (which stays the
  // caller's). A corrupt or truncated signature throws kLoadSigError with
  // "RSync loadsig error (%d): %s". Signatures in the format this library
  // writes go to the hand-written engine, any other format to librsync.
  explicit PreviousSignature(std::FILE* file);
  ~PreviousSignature();
  PreviousSignature(const PreviousSignature&) = delete;
  PreviousSignature& operator=(const PreviousSignature&) = delete;

  // False when librsync does the delta.
  bool handWritten() const { return sums_ != nullptr; }

  // The element that passes the delta of the new version written into it to
  // its next element and writes the new version's signature (blocks of
  // newBlockLength) into newSignature, which its end() ends first. At most
  // one per PreviousSignature, which must outlive it.
  std::unique_ptr<kvn_common::StreamLink> deltaAndSignature(std::uint64_t newBlockLength,
                                                            kvn_common::StreamSink& newSignature);

 private:
  std::unique_ptr<SignatureSums> sums_;
  std::unique_ptr<DeltaStream> librsync_;
};

}  // namespace kvn_rsync
