// The box's side of the session negotiation on messages from an agent that
// does not follow the protocol. A genuine agent takes a fresh box through
// as many steps as the input asks for (the box's session id and sequence
// values are random, so the exchange is made live each time, with keys
// derived once); the input then supplies the agent's next messages, either
// from scratch or as a few bytes changed in the genuine next message.
//
// Input: u8 depth (genuine agent messages to deliver first, 0..5), u8 mode,
// then the messages as negotiation_input.h reads them.
#include <cstddef>
#include <cstdint>

#include "kvn_crypto/crypto_box.h"
#include "kvn_crypto/crypto_client.h"
#include "kvn_log/log.h"
#include "negotiation_input.h"

namespace {

using kvn_crypto::NegotiationMessage;

struct Fixed {
  kvn_crypto::BoxSecrets box;
  kvn_crypto::RsaKeyPair agentKeys;
  kvn_crypto::SessionKeys derived;
};

const Fixed& fixed() {
  static const Fixed keys = [] {
    kvn_log::setLevel(kvn_log::Fatal);
    Fixed f;
    const kvn_crypto::Bytes master(16, 0x5A);
    f.box = {kvn_crypto::generateRsaKeyPair(), kvn_crypto::generateRsaKeyPair(), master,
             kvn_crypto::Bytes(32, 0x77)};
    f.agentKeys = kvn_crypto::generateRsaKeyPair();
    f.derived.setMasterKey(master);
    return f;
  }();
  return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const Fixed& keys = fixed();
  const std::size_t depth = data[0] % 6;
  const std::uint8_t mode = data[1];

  kvn_crypto::CryptoBox box(keys.box, keys.derived);
  kvn_crypto::CryptoClient agent(keys.agentKeys);
  agent.setStorageLicence(4242);
  agent.setSessionKeys(keys.derived);

  NegotiationMessage toBox = agent.firstMessage();
  for (std::size_t i = 0; i < depth; ++i) {
    const NegotiationMessage reply = box.next(toBox);
    if (reply.isFailure()) return 0;
    toBox = agent.next(reply);
    if (toBox.isFailure()) return 0;
  }
  kvn_fuzz::deliverNegotiationInput(data, size, 2, mode, toBox,
                                    [&](const NegotiationMessage& m) { box.next(m); });
  return 0;
}
