// The hello proofs: what goes into the hashes, in which order, and the
// answer check shared by both ends.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QJsonObject>

#include "kvn_network/tessel_frame.h"
#include "kvn_network/tessel_proof.h"

namespace {

using namespace kvn_network::tessel;

QByteArray sha256(const QByteArray& data) {
  return QCryptographicHash::hash(data, QCryptographicHash::Sha256);
}

TEST(TesselProof, ProofsHashNoncesSerialTextAndKeyInOrder) {
  // A hexadecimal cryptkey is read as Base64 here: 32 digits give 24 bytes.
  const QString cryptkey = "a1b2c3d4e5f60718293a4b5c6d7e8f90";
  const QByteArray key = proofKey(cryptkey);
  EXPECT_EQ(key, QByteArray::fromBase64(cryptkey.toLatin1()));
  EXPECT_EQ(key.size(), 24);

  const QByteArray client("\x01\x02\x03\x04", 4);
  const QByteArray box("\x05\x06\x07\x08", 4);
  const QByteArray serial = "0a:1b:ff";
  EXPECT_EQ(clientProof(client, serial, key), sha256(client + serial + key));
  EXPECT_EQ(boxProof(client, box, serial, key), sha256(client + box + serial + key));
  EXPECT_NE(boxProof(box, client, serial, key), boxProof(client, box, serial, key));
  EXPECT_EQ(makeNonce().size(), kNonceSize);
}

TEST(TesselProof, HelloCheckRefusesEachDeviation) {
  const QByteArray proof = sha256("x");
  const auto answer = [&](QJsonObject o) {
    return *parseMessage(messageBody("hello", std::move(o)));
  };
  const QJsonObject good = answer(helloAnswer(5005, makeNonce(), proof));
  EXPECT_TRUE(checkHello(good, 5005, proof).ok);
  EXPECT_EQ(helloNonce(good).size(), kNonceSize);

  const struct {
    QJsonObject hello;
    const char* reason;
  } refused[] = {
      {answer(helloAnswer(5006, {}, proof)), "licence 5006 instead of 5005"},
      {answer(helloAnswer(5005, {}, sha256("y"))), "wrong proof"},
      {answer(helloAnswer(5005, {}, proof.left(31))), "proof of 31 bytes instead of 32"},
      {answer(helloAnswer(5005, {}, {})), "proof of 0 bytes instead of 32"},
      {*parseMessage(messageBody("ping", helloAnswer(5005, {}, proof))), "not a hello message"},
      {answer({{"license", "5005"}, {"proof", QString(proof.toBase64())}}),
       "licence ? instead of 5005"},
  };
  for (const auto& r : refused) {
    const HelloCheck check = checkHello(r.hello, 5005, proof);
    EXPECT_FALSE(check.ok) << r.reason;
    EXPECT_EQ(check.reason.toStdString(), r.reason);
  }
}

}  // namespace
