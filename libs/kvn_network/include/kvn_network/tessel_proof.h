// The hello of the Tessel channel: both ends prove that they know the
// shared key without sending it. The agent proves itself with its nonce,
// the box's certificate serial number and the key; the box answers with its
// own nonce and a proof over both nonces.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <cstdint>

namespace kvn_network::tessel {

// The key bytes: the cryptkey text read as Latin-1 and decoded from Base64.
// (The box protocol reads the same text as hexadecimal.)
QByteArray proofKey(const QString& cryptkey);

// kNonceSize bytes: one 32-bit value from the system's random source, in
// little-endian order.
QByteArray makeNonce();

// serialText is the certificate's serial number exactly as
// QSslCertificate::serialNumber() gives it (lower-case hexadecimal bytes
// joined by ':').
QByteArray clientProof(const QByteArray& clientNonce, const QByteArray& serialText,
                       const QByteArray& key);
QByteArray boxProof(const QByteArray& clientNonce, const QByteArray& boxNonce,
                    const QByteArray& serialText, const QByteArray& key);

// The "hello" message objects (without "type"), nonce and proof in Base64.
QJsonObject helloRequest(std::int64_t license, std::int64_t agent, const QByteArray& nonce,
                         const QByteArray& proof);
QJsonObject helloAnswer(std::int64_t license, const QByteArray& nonce, const QByteArray& proof);

struct HelloCheck {
  bool ok = false;
  // Why the hello was refused; empty when ok.
  QString reason;
};

// Checks a received hello (the box's answer, or the agent's request on the
// box): "type" "hello", "license" equal to license, and "proof" decoding to
// exactly the expected bytes.
HelloCheck checkHello(const QJsonObject& hello, std::int64_t license,
                      const QByteArray& expectedProof);

// The nonce a hello carries, decoded; empty when missing.
QByteArray helloNonce(const QJsonObject& hello);

}  // namespace kvn_network::tessel
