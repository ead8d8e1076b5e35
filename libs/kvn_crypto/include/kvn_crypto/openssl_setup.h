// Process-wide OpenSSL set-up, called by the start-up sequence and undone
// at the end. Reference-counted, so nested users are fine.
#pragma once

namespace kvn_crypto {

void setupOpenSslLocking();
void cleanupOpenSslLocking();
// Number of set-up calls not yet undone.
int openSslLockingUsers();

}  // namespace kvn_crypto
