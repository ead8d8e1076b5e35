#include <openssl/rand.h>

#include "kvn_crypto/negotiation.h"
#include "kvn_log/exception.h"
#include "message_body.h"
#include "remembered_keys.h"

namespace kvn_crypto {

using detail::BodyReader;
using detail::BodyWriter;

namespace {

// Thrown after the step has logged its own fixed line.
class Refused : public KvnCommonException {
 public:
  using KvnCommonException::KvnCommonException;
};

constexpr std::size_t kSequenceSize = 8;

}  // namespace

NegotiationPeer::NegotiationPeer(Role role, std::uint8_t initialState)
    : state_(initialState), role_(role) {}

NegotiationMessage NegotiationPeer::next(const NegotiationMessage& message) {
  if (state_ == kDone || message.code != state_) {
    KLOG_E("Negotiation message 0x%02x does not fit state 0x%02x", message.code, state_);
    return {};
  }
  try {
    return step(message);
  } catch (const Refused&) {
    return {};
  } catch (const KvnCommonException& e) {
    KLOG_E("Negotiation message 0x%02x refused: %s", message.code, e.what());
    return {};
  }
}

void NegotiationPeer::refuse(const char* text) {
  KLOG_E("%s", text);
  throw Refused(KVN_HERE, KVN_E_INVALID_REPLY, text);
}

void NegotiationPeer::checkSession(std::uint64_t received) const {
  if (received != sessionId_) refuse("Error: Bad formed packet IDSession");
}

Bytes NegotiationPeer::sequenceBlob(const CRSA& key) const {
  Bytes value;
  appendLe(value, sequence_);
  return key.encrypt(value);
}

void NegotiationPeer::acceptSequence(const CRSA& key, const Bytes& blob) {
  // The blob may not even decrypt; that is the same forgery as a bad value.
  Bytes value;
  try {
    value = key.decrypt(blob);
  } catch (const KvnCommonException&) {
    value.clear();
  }
  if (value.size() != kSequenceSize || readLe<std::uint64_t>(value.data()) != sequence_ + 1)
    refuse("Error: checkIdSeqRSA failed");
  sequence_ = readLe<std::uint64_t>(value.data()) + 1;
}

DiffieHellman& NegotiationPeer::dh(int index) {
  if (index != 1 && index != 2) throw KvnCommonException(KVN_HERE, KVN_E_ARGUMENTS, "Bad DH index");
  return dh_[static_cast<std::size_t>(index - 1)];
}

Bytes NegotiationPeer::dhBlob(int index, const CRSA& key) {
  DiffieHellman& group = dh(index);
  BodyWriter fields;
  fields.blob(group.generator()).blob(group.prime()).blob(group.publicKey());
  return key.encrypt(fields.bytes());
}

void NegotiationPeer::readDhBlob(int index, const CRSA& key, const Bytes& blob, bool adopt) {
  DiffieHellman& group = dh(index);
  const Bytes plain = key.decrypt(blob);
  BodyReader fields(plain);
  const Bytes g = fields.blob();
  const Bytes p = fields.blob();
  const Bytes peer = fields.blob();
  if (adopt) {
    group.setParameters(g, p);
  } else if (g != group.generator() || p != group.prime()) {
    refuse("Error generating DH parameters");
  }
  group.setPeerKey(peer);
}

void NegotiationPeer::cipherFromDh(int index) {
  const Bytes secret = dh(index).computeSecret();
  const bool send = (role_ == ClientRole) == (index == 1);
  (send ? send_ : receive_).init(secret, secret, 128, AesContext::Ecb);
}

Bytes NegotiationPeer::wrap(const Bytes& secret, const Bytes& data, bool encrypting) {
  AesContext cipher;
  detail::initRemembered(cipher, secret, 256, AesContext::Cbc);
  return encrypting ? cipher.encrypt(data) : cipher.decrypt(data);
}

std::uint64_t NegotiationPeer::randomValue() {
  std::uint8_t raw[8];
  if (RAND_bytes(raw, sizeof raw) != 1)
    throw KvnCommonException(KVN_HERE, KVN_E_EXCEPTION, "Error RAND_bytes");
  return readLe<std::uint64_t>(raw);
}

}  // namespace kvn_crypto
