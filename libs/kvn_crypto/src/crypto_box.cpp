#include "kvn_crypto/crypto_box.h"

#include "kvn_log/exception.h"
#include "message_body.h"
#include "remembered_keys.h"

namespace kvn_crypto {

using detail::BodyReader;
using detail::BodyWriter;

CryptoBox::CryptoBox(const BoxSecrets& secrets, const SessionKeys& derived)
    : NegotiationPeer(BoxRole, kHello), secrets_(secrets) {
  rsa_[0] = std::make_unique<CRSA>(secrets.firstKey.privatePem, CRSA::PrivateKey);
  rsa_[2] = std::make_unique<CRSA>(secrets.secondKey.privatePem, CRSA::PrivateKey);
  keys_ = derived;
}

CryptoBox::CryptoBox(const BoxSecrets& secrets) : CryptoBox(secrets, SessionKeys{}) {
  keys_.setMasterKey(secrets.masterKey);
}

NegotiationMessage CryptoBox::step(const NegotiationMessage& message) {
  switch (message.code) {
    case kHello: return onHello(message);
    case kIdentity: return onIdentity(message);
    case kSequence: return onSequence(message);
    case kDh1: return onDh(message, 1);
    case kDh2: return onDh(message, 2);
    case kFinish: return onFinish(message);
    default: throw KvnCommonException(KVN_HERE, KVN_E_INVALID_REPLY, "Bad negotiation code");
  }
}

NegotiationMessage CryptoBox::onHello(const NegotiationMessage& message) {
  BodyReader fields = BodyReader::fields(message);
  storageLicence_ = fields.u64();
  fields.u64();
  sessionId_ = randomValue();
  const NegotiationMessage reply =
      BodyWriter().u64(sessionId_).blob(toBytes(secrets_.firstKey.publicPem)).message(kBoxKey);
  state_ = kIdentity;
  return reply;
}

NegotiationMessage CryptoBox::onIdentity(const NegotiationMessage& message) {
  BodyReader fields = BodyReader::fields(message);
  checkSession(fields.u64());
  const Bytes identity = fields.blob();
  // Only an agent that knows the cryptkey can wrap its key this way.
  agentPem_ = toString(wrap(keys_.box, rsa_[0]->decrypt(identity), false));
  rsa_[1] = std::make_unique<CRSA>(agentPem_, CRSA::PublicKey);
  sequence_ = randomValue();
  const NegotiationMessage reply =
      BodyWriter()
          .u64(sessionId_)
          .blob(sequenceBlob(*rsa_[1]))
          .blob(rsa_[1]->encrypt(toBytes(secrets_.secondKey.publicPem)))
          .message(kBoxSecondKey);
  state_ = kSequence;
  return reply;
}

NegotiationMessage CryptoBox::dhMessage(int index) {
  DiffieHellman& group = dh(index);
  group.setPrimeBits(kPrimeBits);
  group.generateKey();
  return BodyWriter()
      .u64(sessionId_)
      .blob(sequenceBlob(*rsa_[2]))
      .blob(dhBlob(index, *rsa_[2]))
      .message(index == 1 ? kBoxDh1 : kBoxDh2);
}

NegotiationMessage CryptoBox::onSequence(const NegotiationMessage& message) {
  BodyReader fields = BodyReader::fields(message);
  checkSession(fields.u64());
  acceptSequence(*rsa_[1], fields.blob());
  const NegotiationMessage reply = dhMessage(1);
  state_ = kDh1;
  return reply;
}

NegotiationMessage CryptoBox::onDh(const NegotiationMessage& message, int index) {
  BodyReader fields = BodyReader::fields(message);
  checkSession(fields.u64());
  const Bytes sequence = fields.blob();
  const Bytes dhFields = fields.blob();
  acceptSequence(*rsa_[1], sequence);
  readDhBlob(index, *rsa_[1], dhFields, false);
  cipherFromDh(index);
  if (index == 1) {
    const NegotiationMessage reply = dhMessage(2);
    state_ = kDh2;
    return reply;
  }
  detail::initRemembered(data_, secrets_.dataKey, 256, AesContext::Cbc);
  const Bytes sealed = send_.encrypt(BodyWriter()
                                         .u64(sessionId_)
                                         .blob(sequenceBlob(*rsa_[2]))
                                         .blob(wrap(keys_.transport, secrets_.dataKey, true))
                                         .bytes());
  const NegotiationMessage reply = BodyWriter::sealed(kDataKey, sealed);
  state_ = kFinish;
  return reply;
}

NegotiationMessage CryptoBox::onFinish(const NegotiationMessage& message) {
  const Bytes plain = receive_.decrypt(BodyReader::sealedPart(message));
  BodyReader fields(plain);
  checkSession(fields.u64());
  acceptSequence(*rsa_[1], fields.blob());
  established_ = true;
  state_ = kDone;
  return {};
}

}  // namespace kvn_crypto
