#include "kvn_network/tessel_proof.h"

#include <QCryptographicHash>
#include <QJsonValue>
#include <QRandomGenerator>
#include <QtEndian>

#include "kvn_network/tessel_protocol.h"

namespace kvn_network::tessel {

namespace {

QByteArray sha256(std::initializer_list<const QByteArray*> parts) {
  QCryptographicHash hash(QCryptographicHash::Sha256);
  for (const QByteArray* part : parts) hash.addData(*part);
  return hash.result();
}

QByteArray base64Field(const QJsonObject& object, const char* name) {
  return QByteArray::fromBase64(object.value(name).toString().toLatin1());
}

}  // namespace

QByteArray proofKey(const QString& cryptkey) { return QByteArray::fromBase64(cryptkey.toLatin1()); }

QByteArray makeNonce() {
  QByteArray nonce(kNonceSize, '\0');
  qToLittleEndian(QRandomGenerator::system()->generate(), nonce.data());
  return nonce;
}

QByteArray clientProof(const QByteArray& clientNonce, const QByteArray& serialText,
                       const QByteArray& key) {
  return sha256({&clientNonce, &serialText, &key});
}

QByteArray boxProof(const QByteArray& clientNonce, const QByteArray& boxNonce,
                    const QByteArray& serialText, const QByteArray& key) {
  return sha256({&clientNonce, &boxNonce, &serialText, &key});
}

QJsonObject helloRequest(std::int64_t license, std::int64_t agent, const QByteArray& nonce,
                         const QByteArray& proof) {
  return {{key::kLicense, qint64(license)},
          {key::kAgent, qint64(agent)},
          {key::kNonce, QString::fromLatin1(nonce.toBase64())},
          {key::kProof, QString::fromLatin1(proof.toBase64())}};
}

QJsonObject helloAnswer(std::int64_t license, const QByteArray& nonce, const QByteArray& proof) {
  return {{key::kLicense, qint64(license)},
          {key::kNonce, QString::fromLatin1(nonce.toBase64())},
          {key::kProof, QString::fromLatin1(proof.toBase64())}};
}

HelloCheck checkHello(const QJsonObject& hello, std::int64_t license,
                      const QByteArray& expectedProof) {
  if (hello.value(key::kType).toString() != QLatin1String(message::kHello))
    return {false, QStringLiteral("not a hello message")};
  const QJsonValue got = hello.value(key::kLicense);
  if (!got.isDouble() || got.toInteger(-1) != license)
    return {false, QStringLiteral("licence %1 instead of %2")
                       .arg(got.isDouble() ? QString::number(got.toInteger()) : QStringLiteral("?"))
                       .arg(license)};
  const QByteArray proof = base64Field(hello, key::kProof);
  if (proof.size() != expectedProof.size())
    return {false, QStringLiteral("proof of %1 bytes instead of %2")
                       .arg(proof.size())
                       .arg(expectedProof.size())};
  if (proof != expectedProof) return {false, QStringLiteral("wrong proof")};
  return {true, {}};
}

QByteArray helloNonce(const QJsonObject& hello) { return base64Field(hello, key::kNonce); }

}  // namespace kvn_network::tessel
