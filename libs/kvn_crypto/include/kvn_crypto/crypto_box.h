// The box's end of the session negotiation, so that the agent's end can be
// exercised against a real peer (tests, the box simulator).
#pragma once

#include <cstdint>

#include "kvn_crypto/negotiation.h"
#include "kvn_crypto/rsa.h"

namespace kvn_crypto {

struct BoxSecrets {
  RsaKeyPair firstKey;   // authenticates the box; wraps the agent's identity
  RsaKeyPair secondKey;  // signs sequence values and DH parameters
  Bytes masterKey;       // the agent's cryptkey, as the box knows it
  Bytes dataKey;         // handed to the agent at the end
};

class CryptoBox : public NegotiationPeer {
 public:
  explicit CryptoBox(const BoxSecrets& secrets);
  // With the keys already derived from secrets.masterKey, so that a box
  // serving many sessions pays for the derivation once.
  CryptoBox(const BoxSecrets& secrets, const SessionKeys& derived);

  // The storage licence number the agent announced.
  std::uint64_t storageLicence() const { return storageLicence_; }
  // The agent's public key once its identity has been checked.
  const std::string& agentPublicPem() const { return agentPem_; }

 private:
  NegotiationMessage step(const NegotiationMessage& message) override;
  NegotiationMessage onHello(const NegotiationMessage& message);
  NegotiationMessage onIdentity(const NegotiationMessage& message);
  NegotiationMessage onSequence(const NegotiationMessage& message);
  NegotiationMessage onDh(const NegotiationMessage& message, int index);
  NegotiationMessage onFinish(const NegotiationMessage& message);
  // The box's next DH message: sequence value and group of exchange index.
  NegotiationMessage dhMessage(int index);

  BoxSecrets secrets_;
  std::string agentPem_;
  std::uint64_t storageLicence_ = 0;
};

}  // namespace kvn_crypto
