// One AES cipher whose key and IV are derived from a password and a salt:
// PBKDF2-HMAC-SHA1 (10000 iterations, as long as the password) and then
// EVP_BytesToKey with SHA-1 over that result.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kvn_crypto/bytes.h"

typedef struct evp_cipher_st EVP_CIPHER;
typedef struct evp_cipher_ctx_st EVP_CIPHER_CTX;

namespace kvn_crypto {

class AesContext {
 public:
  enum Mode { Ecb = 0, Cbc = 1 };
  static constexpr std::size_t kIvSize = 16;

  AesContext();
  ~AesContext();
  AesContext(const AesContext&) = delete;
  AesContext& operator=(const AesContext&) = delete;

  // bits is 128 or 256. The salt must hold at least the 8 bytes that
  // EVP_BytesToKey takes from it.
  void init(const Bytes& password, const Bytes& salt, int bits, Mode mode);
  // Takes the key, IV and mode of an initialised context, without its
  // state: a second thread encrypts with the same key on its own context.
  void initLike(const AesContext& other);

  // One whole message with PKCS#7 padding; the context is re-initialised
  // with the current key and IV first, so messages are independent.
  Bytes encrypt(const std::uint8_t* data, std::size_t size);
  Bytes decrypt(const std::uint8_t* data, std::size_t size);
  // The same, appending to out (left as it was on a throw).
  void encryptInto(const std::uint8_t* data, std::size_t size, Bytes& out);
  void decryptInto(const std::uint8_t* data, std::size_t size, Bytes& out);
  Bytes encrypt(const Bytes& data) { return encrypt(data.data(), data.size()); }
  Bytes decrypt(const Bytes& data) { return decrypt(data.data(), data.size()); }

  // Replace the IV used by later messages of one direction (the AES
  // streams open each stream with a random IV).
  void setEncryptIv(const std::uint8_t* iv);
  void setDecryptIv(const std::uint8_t* iv);

  bool encryptReady() const { return encryptReady_; }
  bool decryptReady() const { return decryptReady_; }
  int bits() const { return bits_; }
  Mode mode() const { return mode_; }
  const Bytes& key() const { return key_; }
  const Bytes& iv() const { return iv_; }

 private:
  void run(bool encrypting, const std::uint8_t* data, std::size_t size, Bytes& out);
  // Keeps the IV and readies both directions with key_ (set before).
  void setUp(const EVP_CIPHER* cipher, Bytes iv);

  int bits_ = 0;
  Mode mode_ = Ecb;
  Bytes key_;
  Bytes iv_;
  Bytes encryptIv_;
  Bytes decryptIv_;
  EVP_CIPHER_CTX* encryptCtx_;
  EVP_CIPHER_CTX* decryptCtx_;
  bool encryptReady_ = false;
  bool decryptReady_ = false;
};

}  // namespace kvn_crypto
