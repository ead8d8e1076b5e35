// RSA keys of the session negotiation. Keys travel as PKCS#1 PEM text
// ("RSA PUBLIC KEY" / "RSA PRIVATE KEY"), and messages are encrypted in
// pieces of (key size - 60) bytes, each piece becoming one key-size block.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "kvn_crypto/bytes.h"

typedef struct evp_pkey_st EVP_PKEY;

namespace kvn_crypto {

struct RsaKeyPair {
  std::string privatePem;  // "RSA PRIVATE KEY", not encrypted
  std::string publicPem;   // "RSA PUBLIC KEY"
};

// A fresh 1024-bit key pair with public exponent 37, checked before use.
RsaKeyPair generateRsaKeyPair();

// The agent's key pair, made once per process on first use.
const RsaKeyPair& agentKeyPair();

class CRSA {
 public:
  enum KeyType { PublicKey = 1, PrivateKey = 2 };

  CRSA(const std::string& pem, int keyType);
  ~CRSA();
  CRSA(const CRSA&) = delete;
  CRSA& operator=(const CRSA&) = delete;

  // Public key: OAEP encryption. Private key: PKCS#1 signing of raw data,
  // which the holder of the public key undoes with decrypt().
  Bytes encrypt(const Bytes& data) const;
  // Public key: recovers PKCS#1-signed data. Private key: OAEP decryption.
  Bytes decrypt(const Bytes& data) const;

  // Size of one encrypted block (RSA_size).
  std::size_t blockSize() const { return blockSize_; }
  std::size_t pieceSize() const { return blockSize_ - 60; }
  int keyType() const { return keyType_; }

 private:
  Bytes transform(const Bytes& data, bool encrypting) const;

  int keyType_;
  EVP_PKEY* key_ = nullptr;
  std::size_t blockSize_ = 0;
};

}  // namespace kvn_crypto
