#include "kvn_crypto/session_keys.h"

#include <climits>

#include "kvn_log/exception.h"
#include "sha1_kdf.h"

namespace kvn_crypto {

namespace {
constexpr int kDerivedKeySize = 32;
}

Bytes deriveKey(const Bytes& password, const Bytes& salt, int iterations) {
  if (password.empty() || password.size() > INT_MAX || salt.size() > INT_MAX) {
    KLOG_E("Error initial parameters PBKDF2");
    return {};
  }
  if (iterations < 1) {
    KLOG_E("Error PKCS5_PBKDF2_HMAC_SHA1: %d iterations", iterations);
    return {};
  }
  Bytes key(kDerivedKeySize);
  detail::pbkdf2HmacSha1(password.data(), password.size(), salt.data(), salt.size(), iterations,
                         key.data(), key.size());
  return key;
}

void SessionKeys::setMasterKey(const Bytes& key) {
  master = key;
  file = deriveKey(key, key, kFileIterations);
  transport = deriveKey(key, key, kTransportIterations);
  box = deriveKey(key, key, kBoxIterations);
}

}  // namespace kvn_crypto
