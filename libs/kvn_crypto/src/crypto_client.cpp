#include "kvn_crypto/crypto_client.h"

#include "kvn_log/exception.h"
#include "message_body.h"
#include "remembered_keys.h"

namespace kvn_crypto {

using detail::BodyReader;
using detail::BodyWriter;

CryptoClient::CryptoClient(const RsaKeyPair& agentKeys)
    : NegotiationPeer(ClientRole, kBoxKey), publicPem_(agentKeys.publicPem) {
  rsa_[1] = std::make_unique<CRSA>(agentKeys.privatePem, CRSA::PrivateKey);
}

CryptoClient::CryptoClient(const ClientSecrets& secrets, const RsaKeyPair& agentKeys)
    : CryptoClient(agentKeys) {
  setStorageLicence(secrets.storageLicence);
  setMasterKey(secrets.masterKey);
}

NegotiationMessage CryptoClient::firstMessage() const {
  return BodyWriter().u64(storageLicence_).u64(0).message(kHello);
}

NegotiationMessage CryptoClient::step(const NegotiationMessage& message) {
  switch (message.code) {
    case kBoxKey: return onBoxKey(message);
    case kBoxSecondKey: return onSecondKey(message);
    case kBoxDh1: return onDh(message, 1);
    case kBoxDh2: return onDh(message, 2);
    case kDataKey: return onDataKey(message);
    default: throw KvnCommonException(KVN_HERE, KVN_E_INVALID_REPLY, "Bad negotiation code");
  }
}

Bytes CryptoClient::identityBlob() const {
  if (publicPem_.empty() || keys_.master.empty() || keys_.box.empty()) return {};
  return rsa_[0]->encrypt(wrap(keys_.box, toBytes(publicPem_), true));
}

NegotiationMessage CryptoClient::onBoxKey(const NegotiationMessage& message) {
  BodyReader fields = BodyReader::fields(message);
  const std::uint64_t session = fields.u64();
  const Bytes boxKey = fields.blob();
  rsa_[0] = std::make_unique<CRSA>(toString(boxKey), CRSA::PublicKey);
  sessionId_ = session;
  const NegotiationMessage reply =
      BodyWriter().u64(sessionId_).blob(identityBlob()).message(kIdentity);
  state_ = kBoxSecondKey;
  return reply;
}

NegotiationMessage CryptoClient::onSecondKey(const NegotiationMessage& message) {
  BodyReader fields = BodyReader::fields(message);
  checkSession(fields.u64());
  const Bytes seqBlob = fields.blob();
  const Bytes keyBlob = fields.blob();
  // A value of another size is ignored: the box then expects the value the
  // agent had.
  const Bytes value = rsa_[1]->decrypt(seqBlob);
  const std::uint64_t sequence =
      value.size() == 8 ? readLe<std::uint64_t>(value.data()) + 1 : sequence_;
  try {
    rsa_[2] = std::make_unique<CRSA>(toString(rsa_[1]->decrypt(keyBlob)), CRSA::PublicKey);
  } catch (const KvnCommonException& e) {
    KLOG_E("Server authentication fails: %s", e.what());
    refuse("Error: setting RSA_P2 key");
  }
  rsa_[0].reset();
  sequence_ = sequence;
  const NegotiationMessage reply =
      BodyWriter().u64(sessionId_).blob(sequenceBlob(*rsa_[1])).message(kSequence);
  state_ = kBoxDh1;
  return reply;
}

NegotiationMessage CryptoClient::onDh(const NegotiationMessage& message, int index) {
  BodyReader fields = BodyReader::fields(message);
  checkSession(fields.u64());
  const Bytes sequence = fields.blob();
  const Bytes dhFields = fields.blob();
  acceptSequence(*rsa_[2], sequence);
  dh_[0].setPrimeBits(kPrimeBits);
  dh_[1].setPrimeBits(kPrimeBits);
  readDhBlob(index, *rsa_[2], dhFields, true);
  dh(index).generateKey();
  cipherFromDh(index);
  const NegotiationMessage reply = BodyWriter()
                                       .u64(sessionId_)
                                       .blob(sequenceBlob(*rsa_[1]))
                                       .blob(dhBlob(index, *rsa_[1]))
                                       .message(index == 1 ? kDh1 : kDh2);
  state_ = index == 1 ? kBoxDh2 : kDataKey;
  return reply;
}

NegotiationMessage CryptoClient::onDataKey(const NegotiationMessage& message) {
  established_ = true;
  const Bytes plain = receive_.decrypt(BodyReader::sealedPart(message));
  BodyReader fields(plain);
  checkSession(fields.u64());
  const Bytes sequence = fields.blob();
  const Bytes dataKeyBlob = fields.blob();
  acceptSequence(*rsa_[2], sequence);
  const Bytes dataKey = wrap(keys_.transport, dataKeyBlob, false);
  detail::initRemembered(data_, dataKey, 256, AesContext::Cbc);
  keys_.master = dataKey;
  const Bytes sealed =
      send_.encrypt(BodyWriter().u64(sessionId_).blob(sequenceBlob(*rsa_[1])).bytes());
  const NegotiationMessage reply = BodyWriter::sealed(kFinish, sealed);
  state_ = kDone;
  return reply;
}

}  // namespace kvn_crypto
