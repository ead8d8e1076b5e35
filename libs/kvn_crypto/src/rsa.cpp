#include "kvn_crypto/rsa.h"

#include <openssl/core_names.h>
#include <openssl/decoder.h>
#include <openssl/encoder.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "kvn_log/exception.h"
#include "openssl_util.h"

namespace kvn_crypto {

using detail::BnPtr;
using detail::opensslErrorText;
using detail::PkeyCtxPtr;
using detail::PkeyPtr;

namespace {

constexpr int kRsaBits = 1024;
// The box expects this exponent; the usual 65537 would not be understood.
constexpr unsigned long kRsaExponent = 37;

std::string encodePem(EVP_PKEY* key, int selection) {
  OSSL_ENCODER_CTX* ctx =
      OSSL_ENCODER_CTX_new_for_pkey(key, selection, "PEM", "type-specific", nullptr);
  unsigned char* data = nullptr;
  std::size_t size = 0;
  const bool ok = ctx != nullptr && OSSL_ENCODER_to_data(ctx, &data, &size) == 1;
  OSSL_ENCODER_CTX_free(ctx);
  if (!ok) KVN_THROW_F("Error RSA_generate_key_ex %d ", 0);
  std::string pem(reinterpret_cast<const char*>(data), size);
  OPENSSL_free(data);
  return pem;
}

EVP_PKEY* readPublicKey(const std::string& pem) {
  EVP_PKEY* key = nullptr;
  OSSL_DECODER_CTX* ctx = OSSL_DECODER_CTX_new_for_pkey(
      &key, "PEM", nullptr, "RSA", OSSL_KEYMGMT_SELECT_PUBLIC_KEY, nullptr, nullptr);
  const auto* data = reinterpret_cast<const unsigned char*>(pem.data());
  std::size_t size = pem.size();
  if (ctx == nullptr || OSSL_DECODER_from_data(ctx, &data, &size) != 1) {
    EVP_PKEY_free(key);
    key = nullptr;
  }
  OSSL_DECODER_CTX_free(ctx);
  return key;
}

// A pass-phrase callback that refuses: an encrypted key must fail, not
// prompt on a terminal.
int noPassword(char*, int, int, void*) { return 0; }

EVP_PKEY* readPrivateKey(const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  if (bio == nullptr) return nullptr;
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, noPassword, nullptr);
  BIO_free(bio);
  if (key != nullptr && EVP_PKEY_is_a(key, "RSA") != 1) {
    EVP_PKEY_free(key);
    key = nullptr;
  }
  return key;
}

}  // namespace

RsaKeyPair generateRsaKeyPair() {
  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
  BnPtr exponent(BN_new());
  EVP_PKEY* raw = nullptr;
  int result = ctx && exponent ? EVP_PKEY_keygen_init(ctx.get()) : 0;
  if (result == 1) result = EVP_PKEY_CTX_set_rsa_keygen_bits(ctx.get(), kRsaBits);
  if (result == 1) result = BN_set_word(exponent.get(), kRsaExponent);
  if (result == 1) result = EVP_PKEY_CTX_set1_rsa_keygen_pubexp(ctx.get(), exponent.get());
  if (result == 1) result = EVP_PKEY_generate(ctx.get(), &raw);
  PkeyPtr key(raw);
  if (result != 1) {
    KLOG_E("%s", opensslErrorText().c_str());
    KVN_THROW_F("Error RSA_generate_key_ex %d ", result);
  }
  PkeyCtxPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  result = check ? EVP_PKEY_check(check.get()) : 0;
  if (result != 1) KVN_THROW_F("Error RSA_check_key %d ", result);
  return RsaKeyPair{encodePem(key.get(), OSSL_KEYMGMT_SELECT_KEYPAIR),
                    encodePem(key.get(), OSSL_KEYMGMT_SELECT_PUBLIC_KEY)};
}

const RsaKeyPair& agentKeyPair() {
  static const RsaKeyPair pair = [] {
    const auto start = std::chrono::steady_clock::now();
    RsaKeyPair made = generateRsaKeyPair();
    const long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                          std::chrono::steady_clock::now() - start)
                                          .count());
    KLOG_D("RSA_generate_key_ex is done [duration=%ldms]", ms);
    return made;
  }();
  return pair;
}

CRSA::CRSA(const std::string& pem, int keyType) : keyType_(keyType) {
  if (pem.empty()) throw KvnCommonException(KVN_HERE, KVN_E_ARGUMENTS, "Error buffer key nullptr");
  if (keyType != PublicKey && keyType != PrivateKey)
    throw KvnCommonException(KVN_HERE, KVN_E_ARGUMENTS, "Key type error");
  key_ = keyType == PublicKey ? readPublicKey(pem) : readPrivateKey(pem);
  if (key_ == nullptr) {
    opensslErrorText();
    throw KvnCommonException(KVN_HERE, "Error psKeyPair nullptr");
  }
  const int size = EVP_PKEY_get_size(key_);
  // Below 61 bytes no piece would fit; such a key cannot come from a peer
  // that speaks this protocol.
  if (size <= 60) {
    EVP_PKEY_free(key_);
    throw KvnCommonException(KVN_HERE, "Error psKeyPair nullptr");
  }
  blockSize_ = static_cast<std::size_t>(size);
}

CRSA::~CRSA() { EVP_PKEY_free(key_); }

Bytes CRSA::encrypt(const Bytes& data) const { return transform(data, true); }

Bytes CRSA::decrypt(const Bytes& data) const { return transform(data, false); }

Bytes CRSA::transform(const Bytes& data, bool encrypting) const {
  if (data.empty()) throw KvnCommonException(KVN_HERE, KVN_E_ARGUMENTS, "Error: input parameters");
  const char* failure =
      encrypting ? "Error encrypting message: %s " : "Error Decrypting message: %s ";
  auto fail = [failure](const std::string& why) {
    char text[KvnCommonException::kMessageSize];
    std::snprintf(text, sizeof text, failure, why.c_str());
    throw KvnCommonException(KVN_HERE, KVN_E_EXCEPTION, text);
  };
  if (!encrypting && data.size() % blockSize_ != 0) fail("input is not a whole number of blocks");

  PkeyCtxPtr ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key_, nullptr));
  const bool isPublic = keyType_ == PublicKey;
  // The public key encrypts with OAEP and recovers PKCS#1-signed data; the
  // private key signs with PKCS#1 and decrypts OAEP: the two directions of
  // the protocol each pair one of these.
  const bool oaep = encrypting == isPublic;
  int result = 0;
  if (ctx) {
    if (encrypting)
      result = isPublic ? EVP_PKEY_encrypt_init(ctx.get()) : EVP_PKEY_sign_init(ctx.get());
    else
      result =
          isPublic ? EVP_PKEY_verify_recover_init(ctx.get()) : EVP_PKEY_decrypt_init(ctx.get());
  }
  if (result == 1)
    result =
        EVP_PKEY_CTX_set_rsa_padding(ctx.get(), oaep ? RSA_PKCS1_OAEP_PADDING : RSA_PKCS1_PADDING);
  if (result != 1) fail(opensslErrorText());

  const std::size_t inStep = encrypting ? pieceSize() : blockSize_;
  Bytes out;
  out.reserve((data.size() / inStep + 1) * blockSize_);
  std::uint8_t block[1024];
  if (blockSize_ > sizeof block) fail("key too large");
  for (std::size_t at = 0; at < data.size(); at += inStep) {
    const std::size_t inSize = std::min(inStep, data.size() - at);
    const std::uint8_t* in = data.data() + at;
    std::size_t outSize = blockSize_;
    if (encrypting)
      result = isPublic ? EVP_PKEY_encrypt(ctx.get(), block, &outSize, in, inSize)
                        : EVP_PKEY_sign(ctx.get(), block, &outSize, in, inSize);
    else
      result = isPublic ? EVP_PKEY_verify_recover(ctx.get(), block, &outSize, in, inSize)
                        : EVP_PKEY_decrypt(ctx.get(), block, &outSize, in, inSize);
    if (result != 1) fail(opensslErrorText());
    out.insert(out.end(), block, block + outSize);
  }
  return out;
}

}  // namespace kvn_crypto
