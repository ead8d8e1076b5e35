// Small helpers shared by the OpenSSL wrappers of this library.
#pragma once

#include <openssl/bn.h>
#include <openssl/evp.h>

#include <memory>
#include <string>

namespace kvn_crypto::detail {

// The text of the oldest queued OpenSSL error (ERR_error_string); the queue
// is emptied so that a later failure does not report a stale entry.
std::string opensslErrorText();

struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BnFree {
  void operator()(BIGNUM* b) const { BN_clear_free(b); }
};
struct BnCtxFree {
  void operator()(BN_CTX* c) const { BN_CTX_free(c); }
};
using PkeyCtxPtr = std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree>;
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using BnPtr = std::unique_ptr<BIGNUM, BnFree>;
using BnCtxPtr = std::unique_ptr<BN_CTX, BnCtxFree>;

}  // namespace kvn_crypto::detail
