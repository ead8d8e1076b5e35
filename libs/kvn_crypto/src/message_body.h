// Reading and writing the fields of a negotiation message body.
#pragma once

#include <cstdint>

#include "kvn_crypto/bytes.h"
#include "kvn_crypto/negotiation.h"

namespace kvn_crypto::detail {

class BodyWriter {
 public:
  BodyWriter& u32(std::uint32_t v) {
    appendLe(bytes_, v);
    return *this;
  }
  BodyWriter& u64(std::uint64_t v) {
    appendLe(bytes_, v);
    return *this;
  }
  // u32 length, then the bytes.
  BodyWriter& blob(const Bytes& data);
  const Bytes& bytes() const { return bytes_; }

  // A message whose body is code, u32 body length, then the fields.
  NegotiationMessage message(std::uint8_t code) const;
  // code, u32 (5 + size of the sealed fields), then the fields encrypted.
  static NegotiationMessage sealed(std::uint8_t code, const Bytes& encryptedFields);

 private:
  Bytes bytes_;
};

// Bounds-checked reads; a field that runs past the end throws.
class BodyReader {
 public:
  explicit BodyReader(const Bytes& bytes, std::size_t offset = 0) : bytes_(bytes), at_(offset) {}
  // Skips code and length after checking that the code is the message's.
  static BodyReader fields(const NegotiationMessage& message);
  // The encrypted part of a sealed message.
  static Bytes sealedPart(const NegotiationMessage& message);

  std::uint32_t u32();
  std::uint64_t u64();
  Bytes blob();

 private:
  const std::uint8_t* take(std::size_t n);

  const Bytes& bytes_;
  std::size_t at_;
};

}  // namespace kvn_crypto::detail
