// One Diffie-Hellman exchange over the box's small prime. The arithmetic is
// done with BIGNUM directly: OpenSSL 3 refuses DH over primes this short.
#pragma once

#include <cstdint>

#include "kvn_crypto/bytes.h"

typedef struct bignum_st BIGNUM;

namespace kvn_crypto {

class DiffieHellman {
 public:
  DiffieHellman();
  ~DiffieHellman();
  DiffieHellman(const DiffieHellman&) = delete;
  DiffieHellman& operator=(const DiffieHellman&) = delete;

  // Length of a prime made by generateKey() when none is set.
  void setPrimeBits(int bits) { primeBits_ = bits; }
  int primeBits() const { return primeBits_; }

  // Big-endian numbers as they travel in the DH blob.
  void setParameters(const Bytes& generator, const Bytes& prime);
  void setPeerKey(const Bytes& publicKey);

  // Makes a fresh private value and its public key g^x mod p; makes a safe
  // prime of primeBits() first when no prime is set (the box's side).
  void generateKey();
  // peer^x mod p, as exactly size() bytes.
  Bytes computeSecret() const;

  Bytes generator() const;
  Bytes prime() const;
  Bytes publicKey() const;
  // Bytes of the prime (DH_size).
  int size() const;

 private:
  void checkParameters() const;

  BIGNUM* g_;
  BIGNUM* p_;
  BIGNUM* privateKey_;
  BIGNUM* publicKey_;
  BIGNUM* peerKey_;
  int primeBits_ = 0;
  bool hasPrime_ = false;
  bool hasGenerator_ = false;
  bool hasKey_ = false;
  bool hasPeer_ = false;
};

}  // namespace kvn_crypto
