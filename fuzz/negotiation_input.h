// How the negotiation fuzz targets turn their input into messages for the
// peer under test, after a genuine exchange brought it to some state.
//
// Input (after the target's own header bytes): with bit 0 of mode, each
// message is u8 code, u16 size, size body bytes (bit 1 makes the body's code
// and length fields agree with it). Otherwise: triples u16 offset, u8 xor
// applied to the genuine next message.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "kvn_crypto/negotiation.h"

namespace kvn_fuzz {

template <typename Deliver>
void deliverNegotiationInput(const std::uint8_t* data, std::size_t size, std::size_t at,
                             std::uint8_t mode, const kvn_crypto::NegotiationMessage& genuineNext,
                             Deliver deliver) {
  if ((mode & 1) != 0) {
    while (at + 3 <= size) {
      kvn_crypto::NegotiationMessage m;
      m.code = data[at];
      const std::size_t n =
          std::min<std::size_t>(data[at + 1] | (data[at + 2] << 8), size - at - 3);
      m.body.assign(data + at + 3, data + at + 3 + n);
      at += 3 + n;
      if ((mode & 2) != 0 && m.body.size() >= 5) {
        m.body[0] = m.code;
        kvn_crypto::writeLe(m.body.data() + 1, static_cast<std::uint32_t>(m.body.size()));
      }
      deliver(m);
    }
    return;
  }
  kvn_crypto::NegotiationMessage m = genuineNext;
  for (; at + 3 <= size; at += 3) {
    if (m.body.empty()) break;
    const std::size_t offset = (data[at] | (data[at + 1] << 8)) % m.body.size();
    m.body[offset] ^= data[at + 2];
  }
  deliver(m);
}

}  // namespace kvn_fuzz
