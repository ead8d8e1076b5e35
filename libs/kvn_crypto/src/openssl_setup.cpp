#include "kvn_crypto/openssl_setup.h"

#include <atomic>

namespace kvn_crypto {

namespace {
std::atomic<int> users{0};
}

// OpenSSL 3 locks its own state; the locking and thread-id callbacks of
// older versions have no counterpart, so only the count is kept.
void setupOpenSslLocking() { ++users; }

void cleanupOpenSslLocking() {
  int current = users.load();
  while (current > 0 && !users.compare_exchange_weak(current, current - 1)) {
  }
}

int openSslLockingUsers() { return users.load(); }

}  // namespace kvn_crypto
