// The session-key negotiation shared by both ends: message framing, the
// state byte, the sequence values that each side signs with its RSA key,
// and the two Diffie-Hellman exchanges that give the packet ciphers.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "kvn_crypto/aes_context.h"
#include "kvn_crypto/bytes.h"
#include "kvn_crypto/crypto.h"
#include "kvn_crypto/diffie_hellman.h"
#include "kvn_crypto/rsa.h"
#include "kvn_crypto/session_keys.h"

namespace kvn_crypto {

// Message codes; each is also the state byte of the side waiting for it.
enum NegotiationCode : std::uint8_t {
  kHello = 0xA0,
  kBoxKey = 0xA1,
  kIdentity = 0xA2,
  kBoxSecondKey = 0xA3,
  kSequence = 0xA4,
  kBoxDh1 = 0xA5,
  kDh1 = 0xA6,
  kBoxDh2 = 0xA7,
  kDh2 = 0xA8,
  kDataKey = 0xA9,
  kFinish = 0xAA,
  kDone = 0x00,
};

// One message: its code and its body, which starts with the code again and
// the body's length. A failure is code 0 with an empty body.
struct NegotiationMessage {
  std::uint8_t code = 0;
  Bytes body;

  bool isFailure() const { return body.empty(); }
};

class NegotiationPeer : public Crypto {
 public:
  enum Role { ClientRole = 1, BoxRole = 2 };
  // Prime length the box uses for both exchanges.
  static constexpr int kPrimeBits = 64;

  // Processes one message of the other side and returns the reply, or the
  // failure message (logged) when the message is out of order or does not
  // check out; a failure leaves the state byte as it was.
  NegotiationMessage next(const NegotiationMessage& message);

  // The code expected next; 0 once the negotiation has succeeded.
  std::uint8_t state() const { return state_; }
  int role() const { return role_; }
  std::uint64_t sessionId() const { return sessionId_; }
  std::uint64_t sequence() const { return sequence_; }
  bool established() const { return established_; }

  const Bytes& fileKey() const { return keys_.file; }
  // AES-256-CBC from the data key that the box hands over at the end.
  AesContext& dataCipher() { return data_; }

 protected:
  NegotiationPeer(Role role, std::uint8_t initialState);

  // One step of the role; throws on any fault. The reply's state change is
  // the step's last action.
  virtual NegotiationMessage step(const NegotiationMessage& message) = 0;

  // Logs the fixed text and fails the step without a second log line.
  [[noreturn]] static void refuse(const char* text);
  void checkSession(std::uint64_t received) const;

  // The current sequence value as a blob of that key.
  Bytes sequenceBlob(const CRSA& key) const;
  // The other side's value must be our last one + 1; ours becomes its + 1.
  void acceptSequence(const CRSA& key, const Bytes& blob);

  DiffieHellman& dh(int index);
  Bytes dhBlob(int index, const CRSA& key);
  // Reads g, p and the peer's public key. With adopt the group is taken
  // over (the agent); otherwise it must be the one already set (the box).
  void readDhBlob(int index, const CRSA& key, const Bytes& blob, bool adopt);
  // Exchange 1 gives the agent's send cipher and the box's receive
  // cipher; exchange 2 the other direction.
  void cipherFromDh(int index);

  // The AES-256-CBC wrapping that derives key and IV from one secret.
  static Bytes wrap(const Bytes& secret, const Bytes& data, bool encrypting);
  static std::uint64_t randomValue();

  SessionKeys keys_;
  // Slot 0: the box's first key; slot 1: the agent's key; slot 2: the box's
  // second key. Each side holds the private halves of its own keys.
  std::array<std::unique_ptr<CRSA>, 3> rsa_;
  std::array<DiffieHellman, 2> dh_;
  AesContext data_;
  std::uint8_t state_;
  Role role_;
  std::uint64_t sessionId_ = 0;
  std::uint64_t sequence_ = 0;
  bool established_ = false;
};

}  // namespace kvn_crypto
