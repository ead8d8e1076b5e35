// The two packet ciphers of one session. Packets are encrypted with the
// send cipher and decrypted with the receive cipher; both come out of the
// session negotiation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kvn_crypto/aes_context.h"
#include "kvn_crypto/bytes.h"

namespace kvn_crypto {

class Crypto {
 public:
  enum Direction { Encrypt = 1, Decrypt = 2 };

  virtual ~Crypto() = default;

  // Encrypts (1) or decrypts (2) one packet payload. Any other direction
  // logs the fault and returns nothing; cipher errors are thrown.
  Bytes operator()(int direction, const std::uint8_t* data, std::size_t size);
  // The same, appending to out; false (logged) for an unknown direction.
  bool transformInto(int direction, const std::uint8_t* data, std::size_t size, Bytes& out);

  AesContext& sendCipher() { return send_; }
  AesContext& receiveCipher() { return receive_; }

 protected:
  AesContext send_;
  AesContext receive_;
};

}  // namespace kvn_crypto
