#include "kvn_crypto/session_keys.h"

#include <climits>
#include <mutex>

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
  // The master key is the pairing's and stays the same for many
  // connections; its 240,000 HMAC rounds were most of a connection's set-up.
  // The last master key's keys are kept; they are worth no more than the
  // master key itself, which the process holds anyway.
  static std::mutex lastMutex;
  static SessionKeys last;
  std::lock_guard lock(lastMutex);
  if (key.empty() || key != last.master) {
    last.master = key;
    last.file = deriveKey(key, key, kFileIterations);
    last.transport = deriveKey(key, key, kTransportIterations);
    last.box = deriveKey(key, key, kBoxIterations);
  }
  *this = last;
}

}  // namespace kvn_crypto
