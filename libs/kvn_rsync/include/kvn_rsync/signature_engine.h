// The hand-written signature element: the same bytes as SignatureStream
// (librsync's MD4 format, strong sums of 8 bytes) at a fraction of the cost,
// with the strong sums of several blocks computed side by side.
#pragma once

#include <cstdint>
#include <memory>

#include "kvn_common/stream.h"

namespace kvn_rsync {

class SignatureWriter;

class SignatureEngine : public kvn_common::StreamLink {
 public:
  // blockLength: see blockLength() for the length used for a given size.
  explicit SignatureEngine(std::uint64_t blockLength);
  ~SignatureEngine() override;
  SignatureEngine(const SignatureEngine&) = delete;
  SignatureEngine& operator=(const SignatureEngine&) = delete;

  void write(const char* data, std::uint32_t size) override;
  void end() override;

 private:
  std::uint64_t blockLength_;
  std::unique_ptr<SignatureWriter> writer_;
  // Bytes of blocks not yet complete; whole blocks in the input are hashed
  // where they lie. Not cleared: only bytes written to it are read.
  std::unique_ptr<std::uint8_t[]> pending_;
  std::size_t capacity_ = 0;
  std::size_t held_ = 0;
};

}  // namespace kvn_rsync
