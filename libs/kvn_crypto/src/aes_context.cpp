#include "kvn_crypto/aes_context.h"

#include <openssl/evp.h>

#include <climits>
#include <cstdio>

#include "kvn_log/exception.h"
#include "openssl_util.h"
#include "sha1_kdf.h"

namespace kvn_crypto {

using detail::opensslErrorText;

namespace {

constexpr int kIterations = 10000;
constexpr std::size_t kBytesToKeySalt = 8;

const EVP_CIPHER* cipherFor(int bits, AesContext::Mode mode) {
  if (bits == 128) return mode == AesContext::Cbc ? EVP_aes_128_cbc() : EVP_aes_128_ecb();
  if (bits == 256) return mode == AesContext::Cbc ? EVP_aes_256_cbc() : EVP_aes_256_ecb();
  return nullptr;
}

[[noreturn]] void throwWithReason(const char* format) {
  char text[KvnCommonException::kMessageSize];
  std::snprintf(text, sizeof text, format, opensslErrorText().c_str());
  throw KvnCommonException(KVN_HERE, KVN_E_EXCEPTION, text);
}

}  // namespace

AesContext::AesContext() : encryptCtx_(EVP_CIPHER_CTX_new()), decryptCtx_(EVP_CIPHER_CTX_new()) {}

AesContext::~AesContext() {
  EVP_CIPHER_CTX_free(encryptCtx_);
  EVP_CIPHER_CTX_free(decryptCtx_);
  OPENSSL_cleanse(key_.data(), key_.size());
}

void AesContext::init(const Bytes& password, const Bytes& salt, int bits, Mode mode) {
  encryptReady_ = decryptReady_ = false;
  const EVP_CIPHER* cipher = cipherFor(bits, mode);
  // The second derivation reads 8 salt bytes; a shorter salt (a hostile
  // peer's data key) would make it read past the buffer.
  if (cipher == nullptr || salt.size() < kBytesToKeySalt || password.size() > INT_MAX)
    throw KvnCommonException(KVN_HERE, KVN_E_ARGUMENTS, "Error PKCS5_PBKDF2_HMAC_SHA1");
  if (password.empty()) {
    throw KvnCommonException(KVN_HERE, "Error PKCS5_PBKDF2_HMAC_SHA1");
  }
  Bytes stretched(password.size());
  detail::pbkdf2HmacSha1(password.data(), password.size(), salt.data(), salt.size(), kIterations,
                         stretched.data(), stretched.size());
  const auto keySize = static_cast<std::size_t>(EVP_CIPHER_get_key_length(cipher));
  Bytes key(keySize);
  Bytes iv(static_cast<std::size_t>(EVP_CIPHER_get_iv_length(cipher)));
  detail::bytesToKeySha1(salt.data(), stretched.data(), stretched.size(), kIterations, key.data(),
                         key.size(), iv.data(), iv.size());
  OPENSSL_cleanse(stretched.data(), stretched.size());
  if (keySize != std::size_t(bits) / 8)
    KVN_THROW_F("Key size is %d bytes - should be %u bits", int(keySize),
                static_cast<unsigned>(bits));

  bits_ = bits;
  mode_ = mode;
  OPENSSL_cleanse(key_.data(), key_.size());
  key_ = std::move(key);
  setUp(cipher, std::move(iv));
}

void AesContext::initLike(const AesContext& other) {
  const EVP_CIPHER* cipher = cipherFor(other.bits_, other.mode_);
  if (cipher == nullptr || !other.encryptReady_)
    throw KvnCommonException(KVN_HERE, KVN_E_ARGUMENTS, "Error encrypt context not initialized");
  encryptReady_ = decryptReady_ = false;
  bits_ = other.bits_;
  mode_ = other.mode_;
  OPENSSL_cleanse(key_.data(), key_.size());
  key_ = other.key_;
  setUp(cipher, other.iv_);
}

void AesContext::setUp(const EVP_CIPHER* cipher, Bytes iv) {
  iv_ = iv;
  encryptIv_ = iv;
  decryptIv_ = std::move(iv);
  if (EVP_EncryptInit_ex(encryptCtx_, cipher, nullptr, key_.data(), encryptIv_.data()) != 1) {
    opensslErrorText();
    throw KvnCommonException(KVN_HERE, "Error EVP_EncryptInit_ex");
  }
  encryptReady_ = true;
  if (EVP_DecryptInit_ex(decryptCtx_, cipher, nullptr, key_.data(), decryptIv_.data()) != 1) {
    opensslErrorText();
    throw KvnCommonException(KVN_HERE, "Error EVP_DecryptInit_ex");
  }
  decryptReady_ = true;
}

void AesContext::setEncryptIv(const std::uint8_t* iv) {
  if (!encryptReady_)
    throw KvnCommonException(KVN_HERE, KVN_E_ARGUMENTS, "Error encrypt context not initialized");
  encryptIv_.assign(iv, iv + encryptIv_.size());
  if (EVP_EncryptInit_ex(encryptCtx_, nullptr, nullptr, nullptr, encryptIv_.data()) != 1)
    throwWithReason("Error EVP_EncryptInit_ex: %s");
}

void AesContext::setDecryptIv(const std::uint8_t* iv) {
  if (!decryptReady_)
    throw KvnCommonException(KVN_HERE, KVN_E_ARGUMENTS, "Error decrypt context not initialized");
  decryptIv_.assign(iv, iv + decryptIv_.size());
  if (EVP_DecryptInit_ex(decryptCtx_, nullptr, nullptr, nullptr, decryptIv_.data()) != 1)
    throwWithReason("Error EVP_DecryptInit_ex: %s");
}

Bytes AesContext::encrypt(const std::uint8_t* data, std::size_t size) {
  Bytes out;
  run(true, data, size, out);
  return out;
}

Bytes AesContext::decrypt(const std::uint8_t* data, std::size_t size) {
  Bytes out;
  run(false, data, size, out);
  return out;
}

void AesContext::encryptInto(const std::uint8_t* data, std::size_t size, Bytes& out) {
  run(true, data, size, out);
}

void AesContext::decryptInto(const std::uint8_t* data, std::size_t size, Bytes& out) {
  run(false, data, size, out);
}

void AesContext::run(bool encrypting, const std::uint8_t* data, std::size_t size, Bytes& result) {
  EVP_CIPHER_CTX* ctx = encrypting ? encryptCtx_ : decryptCtx_;
  if (encrypting ? !encryptReady_ : !decryptReady_)
    throw KvnCommonException(KVN_HERE, KVN_E_ARGUMENTS,
                             encrypting ? "Error encrypt context not initialized"
                                        : "Error decrypt context not initialized");
  if (size > static_cast<std::size_t>(INT_MAX) - 32)
    throw KvnCommonException(KVN_HERE, KVN_E_ARGUMENTS, "Error: input parameters");
  const Bytes& iv = encrypting ? encryptIv_ : decryptIv_;
  const int init = encrypting ? EVP_EncryptInit_ex(ctx, nullptr, nullptr, key_.data(), iv.data())
                              : EVP_DecryptInit_ex(ctx, nullptr, nullptr, key_.data(), iv.data());
  if (init != 1)
    throwWithReason(encrypting ? "Error EVP_EncryptInit_ex: %s" : "Error EVP_DecryptInit_ex: %s");

  // Padding adds at most one block when encrypting; decrypting never grows.
  const std::size_t start = result.size();
  result.resize(start + size + 16);
  std::uint8_t* out = result.data() + start;
  int produced = 0;
  int last = 0;
  const int update = encrypting
                         ? EVP_EncryptUpdate(ctx, out, &produced, data, static_cast<int>(size))
                         : EVP_DecryptUpdate(ctx, out, &produced, data, static_cast<int>(size));
  const int final = update != 1  ? 0
                    : encrypting ? EVP_EncryptFinal_ex(ctx, out + produced, &last)
                                 : EVP_DecryptFinal_ex(ctx, out + produced, &last);
  if (update != 1 || final != 1) {
    result.resize(start);
    if (update != 1)
      throwWithReason(encrypting ? "Error EVP_EncryptUpdate: %s" : "Error EVP_DecryptUpdate: %s");
    throwWithReason(encrypting ? "Error EVP_EncryptFinal_ex: %s" : "Error EVP_DecryptFinal_ex: %s");
  }
  result.resize(start + static_cast<std::size_t>(produced + last));
}

}  // namespace kvn_crypto
