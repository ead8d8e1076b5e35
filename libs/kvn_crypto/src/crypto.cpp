#include "kvn_crypto/crypto.h"

#include "kvn_log/log.h"

namespace kvn_crypto {

Bytes Crypto::operator()(int direction, const std::uint8_t* data, std::size_t size) {
  if (direction == Encrypt) return send_.encrypt(data, size);
  if (direction == Decrypt) return receive_.decrypt(data, size);
  KLOG_E("Crypto::operator() parameters errors");
  return {};
}

}  // namespace kvn_crypto
