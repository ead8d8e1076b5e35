// The keys both ends derive from the shared master key (the credentials'
// cryptkey): PBKDF2-HMAC-SHA1 with the master key as password and salt,
// 32 bytes each, at three iteration counts.
#pragma once

#include "kvn_crypto/bytes.h"

namespace kvn_crypto {

// 32 bytes of PBKDF2-HMAC-SHA1(password, salt, iterations); empty (and
// logged) when the password is empty.
Bytes deriveKey(const Bytes& password, const Bytes& salt, int iterations);

struct SessionKeys {
  static constexpr int kFileIterations = 20000;
  static constexpr int kTransportIterations = 40000;
  static constexpr int kBoxIterations = 60000;

  // Stores the master key and derives the three keys from it.
  void setMasterKey(const Bytes& key);

  Bytes master;
  Bytes file;       // sent with file descriptions, needed for restorations
  Bytes transport;  // wraps the data key that the box hands over
  Bytes box;        // wraps the agent's identity
};

}  // namespace kvn_crypto
