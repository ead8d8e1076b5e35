#include "kvn_crypto/diffie_hellman.h"

#include <openssl/bn.h>

#include "kvn_log/exception.h"
#include "openssl_util.h"

namespace kvn_crypto {

using detail::BnCtxPtr;
using detail::BnPtr;

namespace {

constexpr unsigned long kBoxGenerator = 2;
// Smallest prime length that generateKey() makes on its own.
constexpr int kMinPrimeBits = 32;
// Numbers in a received blob longer than this are not from this protocol;
// refusing them bounds the work a peer can ask for.
constexpr int kMaxNumberBytes = 128;

// Result bits of the parameter check (logged with the failure).
constexpr int kCheckPrimeTooShort = 0x01;
constexpr int kCheckNotPrime = 0x02;
constexpr int kCheckBadGenerator = 0x04;

[[noreturn]] void throwArguments(const char* text) {
  throw KvnCommonException(KVN_HERE, KVN_E_ARGUMENTS, text);
}

void setNumber(BIGNUM* target, const Bytes& value) {
  if (value.empty() || value.size() > kMaxNumberBytes ||
      BN_bin2bn(value.data(), static_cast<int>(value.size()), target) == nullptr)
    throwArguments("Parameters not defined DH");
}

Bytes toBytes(const BIGNUM* value) {
  Bytes out(static_cast<std::size_t>(BN_num_bytes(value)));
  BN_bn2bin(value, out.data());
  return out;
}

}  // namespace

DiffieHellman::DiffieHellman()
    : g_(BN_new()),
      p_(BN_new()),
      privateKey_(BN_secure_new()),
      publicKey_(BN_new()),
      peerKey_(BN_new()) {
  if (!g_ || !p_ || !privateKey_ || !publicKey_ || !peerKey_)
    throwArguments("Parameters not defined DH");
}

DiffieHellman::~DiffieHellman() {
  BN_free(g_);
  BN_free(p_);
  BN_clear_free(privateKey_);
  BN_free(publicKey_);
  BN_free(peerKey_);
}

void DiffieHellman::setParameters(const Bytes& generator, const Bytes& prime) {
  hasKey_ = false;
  setNumber(g_, generator);
  hasGenerator_ = true;
  setNumber(p_, prime);
  hasPrime_ = true;
}

void DiffieHellman::setPeerKey(const Bytes& publicKey) {
  setNumber(peerKey_, publicKey);
  hasPeer_ = true;
}

void DiffieHellman::checkParameters() const {
  BnCtxPtr ctx(BN_CTX_new());
  int codes = 0;
  if (BN_num_bits(p_) < kMinPrimeBits) codes |= kCheckPrimeTooShort;
  if (!ctx || BN_check_prime(p_, ctx.get(), nullptr) != 1) codes |= kCheckNotPrime;
  // 1 < g < p - 1: the generator must not be one of the trivial elements.
  BnPtr limit(BN_dup(p_));
  if (!limit || !BN_sub_word(limit.get(), 1) || BN_cmp(g_, BN_value_one()) <= 0 ||
      BN_cmp(g_, limit.get()) >= 0)
    codes |= kCheckBadGenerator;
  if (codes != 0) {
    KLOG_E("Error generating DH parameters: %d", codes);
    throwArguments("Error generating DH parameters");
  }
}

void DiffieHellman::generateKey() {
  if (!hasGenerator_) {
    if (hasPrime_) throwArguments("Parameters not defined GenerateKey 1");
    // The box's side: a fresh group with the usual generator.
    if (BN_set_word(g_, kBoxGenerator) != 1) throwArguments("Parameters not defined GenerateKey 1");
    hasGenerator_ = true;
  }
  if (!hasPrime_) {
    if (primeBits_ < kMinPrimeBits) throwArguments("Parameters not defined GenerateKey 2");
    if (BN_generate_prime_ex(p_, primeBits_, 1, nullptr, nullptr, nullptr) != 1)
      throwArguments("Error generating DH parameters");
    hasPrime_ = true;
  }
  checkParameters();

  BnCtxPtr ctx(BN_CTX_new());
  // Private value in [2, p - 2].
  BnPtr range(BN_dup(p_));
  if (!ctx || !range || !BN_sub_word(range.get(), 3) ||
      BN_priv_rand_range(privateKey_, range.get()) != 1 || !BN_add_word(privateKey_, 2) ||
      BN_mod_exp_mont_consttime(publicKey_, g_, privateKey_, p_, ctx.get(), nullptr) != 1)
    throwArguments("Parameters not defined GenerateKey 2");
  hasKey_ = true;
}

Bytes DiffieHellman::computeSecret() const {
  if (!hasKey_ || !hasPeer_) throwArguments("Parameters not defined OtherPartKey");
  // A peer value of 0, 1 or p - 1 (or beyond p) would force a known secret.
  BnPtr limit(BN_dup(p_));
  if (!limit || !BN_sub_word(limit.get(), 1) || BN_cmp(peerKey_, BN_value_one()) <= 0 ||
      BN_cmp(peerKey_, limit.get()) >= 0)
    throwArguments("Parameters not defined OtherPartKey");
  BnCtxPtr ctx(BN_CTX_new());
  BnPtr shared(BN_secure_new());
  if (!ctx || !shared ||
      BN_mod_exp_mont_consttime(shared.get(), peerKey_, privateKey_, p_, ctx.get(), nullptr) != 1)
    throwArguments("Parameters not defined OtherPartKey");
  // The secret is always size() bytes: a shorter value is left-padded with
  // zeros (the big-endian number in DH_size bytes). The box pads the same
  // way; this is the only place that decides it.
  Bytes secret(static_cast<std::size_t>(size()));
  if (BN_bn2binpad(shared.get(), secret.data(), static_cast<int>(secret.size())) < 0)
    throwArguments("Parameters not defined OtherPartKey");
  return secret;
}

Bytes DiffieHellman::generator() const { return toBytes(g_); }
Bytes DiffieHellman::prime() const { return toBytes(p_); }
Bytes DiffieHellman::publicKey() const {
  if (!hasKey_) throwArguments("Parameters not defined GenerateKey 2");
  return toBytes(publicKey_);
}
int DiffieHellman::size() const { return BN_num_bytes(p_); }

}  // namespace kvn_crypto
