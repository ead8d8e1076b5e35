#include "message_body.h"

#include "kvn_log/exception.h"

namespace kvn_crypto::detail {

namespace {
constexpr std::size_t kPrefix = 5;  // code and u32 length

[[noreturn]] void malformed() {
  throw KvnCommonException(KVN_HERE, KVN_E_INVALID_REPLY, "Bad formed negotiation message");
}
}  // namespace

BodyWriter& BodyWriter::blob(const Bytes& data) {
  u32(static_cast<std::uint32_t>(data.size()));
  bytes_.insert(bytes_.end(), data.begin(), data.end());
  return *this;
}

NegotiationMessage BodyWriter::message(std::uint8_t code) const {
  NegotiationMessage m{code, {}};
  m.body.reserve(kPrefix + bytes_.size());
  m.body.push_back(code);
  appendLe(m.body, static_cast<std::uint32_t>(kPrefix + bytes_.size()));
  m.body.insert(m.body.end(), bytes_.begin(), bytes_.end());
  return m;
}

NegotiationMessage BodyWriter::sealed(std::uint8_t code, const Bytes& encryptedFields) {
  BodyWriter raw;
  raw.bytes_ = encryptedFields;
  return raw.message(code);
}

BodyReader BodyReader::fields(const NegotiationMessage& message) {
  if (message.body.size() < kPrefix || message.body[0] != message.code) malformed();
  return BodyReader(message.body, kPrefix);
}

Bytes BodyReader::sealedPart(const NegotiationMessage& message) {
  fields(message);
  if (message.body.size() == kPrefix) malformed();
  return Bytes(message.body.begin() + kPrefix, message.body.end());
}

const std::uint8_t* BodyReader::take(std::size_t n) {
  if (n > bytes_.size() - at_) malformed();
  const std::uint8_t* p = bytes_.data() + at_;
  at_ += n;
  return p;
}

std::uint32_t BodyReader::u32() { return readLe<std::uint32_t>(take(4)); }

std::uint64_t BodyReader::u64() { return readLe<std::uint64_t>(take(8)); }

Bytes BodyReader::blob() {
  const std::uint32_t n = u32();
  const std::uint8_t* p = take(n);
  return Bytes(p, p + n);
}

}  // namespace kvn_crypto::detail
