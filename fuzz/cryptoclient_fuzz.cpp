// The agent's side of the session negotiation on messages it did not
// expect. A recorded genuine exchange brings a fresh client to the state
// the input asks for; the input then supplies the next messages, either
// from scratch or as a few bytes changed in the genuine next message.
//
// Input: u8 depth (genuine box messages to replay, 0..4), u8 mode, then
// the messages as negotiation_input.h reads them.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "kvn_crypto/crypto_box.h"
#include "kvn_crypto/crypto_client.h"
#include "kvn_log/log.h"
#include "negotiation_input.h"

namespace {

using kvn_crypto::Bytes;
using kvn_crypto::NegotiationMessage;

// The box's messages of one successful negotiation, in order.
const std::vector<NegotiationMessage>& genuine() {
  static const std::vector<NegotiationMessage> messages = [] {
    kvn_log::setLevel(kvn_log::Fatal);
    const Bytes master(16, 0x5A);
    kvn_crypto::CryptoBox box({kvn_crypto::generateRsaKeyPair(), kvn_crypto::generateRsaKeyPair(),
                               master, Bytes(32, 0x77)});
    kvn_crypto::CryptoClient client(kvn_crypto::ClientSecrets{1, master});
    std::vector<NegotiationMessage> out;
    NegotiationMessage toBox = client.firstMessage();
    while (client.state() != 0 && !toBox.isFailure()) {
      out.push_back(box.next(toBox));
      toBox = client.next(out.back());
    }
    return out;
  }();
  return messages;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::vector<NegotiationMessage>& recorded = genuine();
  if (size < 2 || recorded.size() < 5) return 0;
  const std::size_t depth = data[0] % 5;
  const std::uint8_t mode = data[1];
  std::size_t at = 2;

  // No master key: the replay does not need one, and each input stays cheap.
  kvn_crypto::CryptoClient client;
  for (std::size_t i = 0; i < depth; ++i)
    if (client.next(recorded[i]).isFailure()) return 0;

  kvn_fuzz::deliverNegotiationInput(data, size, at, mode, recorded[depth],
                                    [&](const NegotiationMessage& m) { client.next(m); });
  return 0;
}
