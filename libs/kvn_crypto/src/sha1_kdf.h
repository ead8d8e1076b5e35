// The two SHA-1 key derivations of the ciphers, computed on OpenSSL's plain
// SHA-1 context rather than through its provider calls: the same bytes as
// PKCS5_PBKDF2_HMAC_SHA1 and EVP_BytesToKey(..., EVP_sha1(), ...), several
// times faster. A connection derives about ten keys of 10,000 to 60,000
// rounds on each side, which made key derivation most of a short job's
// fixed cost.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvn_crypto::detail {

// PBKDF2-HMAC-SHA1 of password and salt, iterations >= 1, into out.
void pbkdf2HmacSha1(const std::uint8_t* password, std::size_t passwordSize,
                    const std::uint8_t* salt, std::size_t saltSize, int iterations,
                    std::uint8_t* out, std::size_t outSize);

// EVP_BytesToKey with SHA-1 and an 8-byte salt: keySize bytes of key, then
// ivSize bytes of IV, each digest hashed count - 1 more times.
void bytesToKeySha1(const std::uint8_t* salt8, const std::uint8_t* data, std::size_t dataSize,
                    int count, std::uint8_t* key, std::size_t keySize, std::uint8_t* iv,
                    std::size_t ivSize);

}  // namespace kvn_crypto::detail
