#include "kvn_crypto/crypto.h"

#include "kvn_log/log.h"

namespace kvn_crypto {

Bytes Crypto::operator()(int direction, const std::uint8_t* data, std::size_t size) {
  Bytes out;
  transformInto(direction, data, size, out);
  return out;
}

bool Crypto::transformInto(int direction, const std::uint8_t* data, std::size_t size, Bytes& out) {
  if (direction == Encrypt) {
    send_.encryptInto(data, size, out);
    return true;
  }
  if (direction == Decrypt) {
    receive_.decryptInto(data, size, out);
    return true;
  }
  KLOG_E("Crypto::operator() parameters errors");
  return false;
}

}  // namespace kvn_crypto
