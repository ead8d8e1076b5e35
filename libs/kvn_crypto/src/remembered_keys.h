// The AES contexts a negotiation derives from long-lived secrets: the keys
// that come from the pairing's master key, and the box's data key. Every
// connection derives the same three on each side, at 20,000 SHA-1 rounds
// each, one after the other between the peers' turns. The derived key and
// IV of the last few secrets are kept for the next connection; they are
// worth no more than the secrets themselves, which the process holds anyway.
// Secrets that change per connection (the Diffie-Hellman ones) do not come
// here.
#pragma once

#include "kvn_crypto/aes_context.h"

namespace kvn_crypto::detail {

// context.init(secret, secret, bits, mode), from a kept derivation when
// there is one. Throws as init does.
void initRemembered(AesContext& context, const Bytes& secret, int bits, AesContext::Mode mode);

}  // namespace kvn_crypto::detail
