// The agent's end of the session negotiation (one per connection).
#pragma once

#include <cstdint>

#include "kvn_crypto/negotiation.h"
#include "kvn_crypto/rsa.h"

namespace kvn_crypto {

// What the agent proves itself with; it comes from the credentials.
struct ClientSecrets {
  std::uint64_t storageLicence = 0;  // license_storage
  Bytes masterKey;                   // cryptkey, decoded from hexadecimal
};

class CryptoClient : public NegotiationPeer {
 public:
  // Without secrets (for a client whose keys are set later).
  explicit CryptoClient(const RsaKeyPair& agentKeys = agentKeyPair());
  explicit CryptoClient(const ClientSecrets& secrets, const RsaKeyPair& agentKeys = agentKeyPair());

  // Stores the key and derives the file, transport and box keys (120,000
  // PBKDF2 iterations in all).
  void setMasterKey(const Bytes& key) { keys_.setMasterKey(key); }
  const Bytes& masterKey() const { return keys_.master; }
  // Keys derived earlier from the same master key, instead of deriving them
  // again.
  void setSessionKeys(const SessionKeys& keys) { keys_ = keys; }
  void setStorageLicence(std::uint64_t licence) { storageLicence_ = licence; }

  // The opening message (0xA0).
  NegotiationMessage firstMessage() const;

 private:
  NegotiationMessage step(const NegotiationMessage& message) override;
  NegotiationMessage onBoxKey(const NegotiationMessage& message);
  NegotiationMessage onSecondKey(const NegotiationMessage& message);
  NegotiationMessage onDh(const NegotiationMessage& message, int index);
  NegotiationMessage onDataKey(const NegotiationMessage& message);
  Bytes identityBlob() const;

  std::string publicPem_;
  std::uint64_t storageLicence_ = 0;
};

}  // namespace kvn_crypto
