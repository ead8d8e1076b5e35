// SHA1_Init and its kin are deprecated in OpenSSL 3 in favour of the EVP
// calls, whose per-call provider overhead is what this file avoids.
#define OPENSSL_SUPPRESS_DEPRECATED
#include "sha1_kdf.h"

#include <openssl/crypto.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cstring>

namespace kvn_crypto::detail {

namespace {

constexpr std::size_t kBlock = SHA_CBLOCK;
constexpr std::size_t kDigest = SHA_DIGEST_LENGTH;

// Wipes what it holds when it goes.
template <typename T>
struct Wiped {
  T value{};
  ~Wiped() { OPENSSL_cleanse(&value, sizeof value); }
};

// SHA1() goes through the provider calls; this does not. out may alias
// data. ctx is scratch, wiped by its owner once at the end.
void sha1(const std::uint8_t* data, std::size_t size, std::uint8_t* out, SHA_CTX& ctx) {
  SHA1_Init(&ctx);
  SHA1_Update(&ctx, data, size);
  SHA1_Final(out, &ctx);
}

// HMAC-SHA1 with the key's inner and outer pad blocks hashed once.
class HmacSha1 {
 public:
  HmacSha1(const std::uint8_t* key, std::size_t size) {
    std::uint8_t pad[kBlock] = {};
    if (size > kBlock) {
      Wiped<SHA_CTX> ctx;
      sha1(key, size, pad, ctx.value);
    } else {
      std::memcpy(pad, key, size);
    }
    for (auto& b : pad) b ^= 0x36;
    SHA1_Init(&inner_.value);
    SHA1_Update(&inner_.value, pad, kBlock);
    for (auto& b : pad) b ^= 0x36 ^ 0x5c;
    SHA1_Init(&outer_.value);
    SHA1_Update(&outer_.value, pad, kBlock);
    OPENSSL_cleanse(pad, sizeof pad);
  }

  // out = HMAC(key, first || second); out may alias first. ctx is scratch,
  // wiped by its owner once at the end.
  void mac(const std::uint8_t* first, std::size_t firstSize, const std::uint8_t* second,
           std::size_t secondSize, std::uint8_t* out, SHA_CTX& ctx) const {
    ctx = inner_.value;
    SHA1_Update(&ctx, first, firstSize);
    if (secondSize != 0) SHA1_Update(&ctx, second, secondSize);
    SHA1_Final(out, &ctx);
    ctx = outer_.value;
    SHA1_Update(&ctx, out, kDigest);
    SHA1_Final(out, &ctx);
  }

 private:
  Wiped<SHA_CTX> inner_;
  Wiped<SHA_CTX> outer_;
};

}  // namespace

void pbkdf2HmacSha1(const std::uint8_t* password, std::size_t passwordSize,
                    const std::uint8_t* salt, std::size_t saltSize, int iterations,
                    std::uint8_t* out, std::size_t outSize) {
  const HmacSha1 hmac(password, passwordSize);
  Wiped<std::uint8_t[kDigest]> u;
  Wiped<std::uint8_t[kDigest]> t;
  Wiped<SHA_CTX> ctx;
  for (std::uint32_t index = 1; outSize > 0; ++index) {
    const std::uint8_t counter[4] = {std::uint8_t(index >> 24), std::uint8_t(index >> 16),
                                     std::uint8_t(index >> 8), std::uint8_t(index)};
    hmac.mac(salt, saltSize, counter, sizeof counter, u.value, ctx.value);
    std::memcpy(t.value, u.value, kDigest);
    for (int i = 1; i < iterations; ++i) {
      hmac.mac(u.value, kDigest, nullptr, 0, u.value, ctx.value);
      for (std::size_t j = 0; j < kDigest; ++j) t.value[j] ^= u.value[j];
    }
    const std::size_t n = std::min(outSize, kDigest);
    std::memcpy(out, t.value, n);
    out += n;
    outSize -= n;
  }
}

void bytesToKeySha1(const std::uint8_t* salt8, const std::uint8_t* data, std::size_t dataSize,
                    int count, std::uint8_t* key, std::size_t keySize, std::uint8_t* iv,
                    std::size_t ivSize) {
  Wiped<std::uint8_t[kDigest]> digest;
  Wiped<SHA_CTX> ctx;
  for (bool first = true; keySize + ivSize > 0; first = false) {
    SHA1_Init(&ctx.value);
    if (!first) SHA1_Update(&ctx.value, digest.value, kDigest);
    SHA1_Update(&ctx.value, data, dataSize);
    SHA1_Update(&ctx.value, salt8, 8);
    SHA1_Final(digest.value, &ctx.value);
    for (int i = 1; i < count; ++i) sha1(digest.value, kDigest, digest.value, ctx.value);
    std::size_t at = 0;
    const std::size_t toKey = std::min(keySize, kDigest);
    // An empty key or IV may come as a null pointer, which memcpy must not get.
    if (toKey != 0) std::memcpy(key, digest.value, toKey);
    key += toKey;
    keySize -= toKey;
    at += toKey;
    const std::size_t toIv = std::min(ivSize, kDigest - at);
    if (toIv != 0) std::memcpy(iv, digest.value + at, toIv);
    iv += toIv;
    ivSize -= toIv;
  }
}

}  // namespace kvn_crypto::detail
