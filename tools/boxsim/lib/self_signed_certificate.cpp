#include "self_signed_certificate.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>

#include <memory>

#include "kvn_log/log.h"

namespace boxsim {

namespace {

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(BIO* p) const { BIO_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

constexpr long kValiditySeconds = 365L * 24 * 3600;

QByteArray bioText(BIO* bio) {
  char* data = nullptr;
  const long size = BIO_get_mem_data(bio, &data);
  return QByteArray(data, static_cast<int>(size));
}

PemIdentity fail(const char* step) {
  KLOG_E("boxsim: cannot make the TLS certificate (%s): %s", step,
         ERR_error_string(ERR_get_error(), nullptr));
  return {};
}

}  // namespace

PemIdentity makeSelfSignedIdentity(const QString& commonName) {
  Owned<EVP_PKEY> key(EVP_RSA_gen(2048));
  if (!key) return fail("key");
  Owned<X509> cert(X509_new());
  if (!cert) return fail("certificate");

  std::uint64_t serial = 0;
  RAND_bytes(reinterpret_cast<unsigned char*>(&serial), sizeof serial);
  const QByteArray name = commonName.toUtf8();
  X509_NAME* subject = X509_get_subject_name(cert.get());
  const bool filled =
      X509_set_version(cert.get(), 2) == 1 &&
      ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(serial >> 2)) == 1 &&
      X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600) != nullptr &&
      X509_gmtime_adj(X509_getm_notAfter(cert.get()), kValiditySeconds) != nullptr &&
      X509_set_pubkey(cert.get(), key.get()) == 1 &&
      X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_UTF8,
                                 reinterpret_cast<const unsigned char*>(name.constData()),
                                 name.size(), -1, 0) == 1 &&
      X509_set_issuer_name(cert.get(), subject) == 1 &&
      X509_sign(cert.get(), key.get(), EVP_sha256()) > 0;
  if (!filled) return fail("fields");

  Owned<BIO> certBio(BIO_new(BIO_s_mem()));
  Owned<BIO> keyBio(BIO_new(BIO_s_mem()));
  if (!certBio || !keyBio || PEM_write_bio_X509(certBio.get(), cert.get()) != 1 ||
      PEM_write_bio_PrivateKey(keyBio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) != 1)
    return fail("PEM");
  return {bioText(certBio.get()), bioText(keyBio.get())};
}

}  // namespace boxsim
