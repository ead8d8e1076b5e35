#include "kvn_crypto/session_keys.h"

#include <openssl/evp.h>

#include <climits>

#include "kvn_log/exception.h"
#include "openssl_util.h"

namespace kvn_crypto {

namespace {
constexpr int kDerivedKeySize = 32;
}

Bytes deriveKey(const Bytes& password, const Bytes& salt, int iterations) {
  if (password.empty() || password.size() > INT_MAX || salt.size() > INT_MAX) {
    KLOG_E("Error initial parameters PBKDF2");
    return {};
  }
  Bytes key(kDerivedKeySize);
  if (PKCS5_PBKDF2_HMAC_SHA1(reinterpret_cast<const char*>(password.data()),
                             static_cast<int>(password.size()), salt.data(),
                             static_cast<int>(salt.size()), iterations, kDerivedKeySize,
                             key.data()) != 1) {
    KLOG_E("Error PKCS5_PBKDF2_HMAC_SHA1: %s", detail::opensslErrorText().c_str());
    return {};
  }
  return key;
}

void SessionKeys::setMasterKey(const Bytes& key) {
  master = key;
  file = deriveKey(key, key, kFileIterations);
  transport = deriveKey(key, key, kTransportIterations);
  box = deriveKey(key, key, kBoxIterations);
}

}  // namespace kvn_crypto
