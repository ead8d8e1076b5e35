// A throw-away TLS identity for the simulated box: an RSA key and a
// self-signed certificate for one address, made with OpenSSL.
#pragma once

#include <QByteArray>
#include <QString>

namespace boxsim {

struct PemIdentity {
  QByteArray certificate;
  QByteArray privateKey;
};

// Empty PEM texts (and a logged reason) when OpenSSL fails.
PemIdentity makeSelfSignedIdentity(const QString& commonName);

}  // namespace boxsim
