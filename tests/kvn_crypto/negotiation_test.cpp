#include <gtest/gtest.h>

#include "../kvn_log/log_capture.h"
#include "kvn_crypto/crypto_box.h"
#include "kvn_crypto/crypto_client.h"
#include "kvn_crypto/session_keys.h"

namespace {

using kvn_crypto::Bytes;
using kvn_crypto::ClientSecrets;
using kvn_crypto::CRSA;
using kvn_crypto::CryptoBox;
using kvn_crypto::CryptoClient;
using kvn_crypto::NegotiationMessage;

constexpr std::uint64_t kLicence = 0x0102030405060708ULL;
const Bytes kMaster = {0x5e, 0xc2, 0xe7, 0x00, 0x11, 0x22, 0x33, 0x44,
                       0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc};

const kvn_crypto::BoxSecrets& boxSecrets() {
  static const kvn_crypto::BoxSecrets secrets{
      kvn_crypto::generateRsaKeyPair(), kvn_crypto::generateRsaKeyPair(), kMaster, Bytes(32, 0xD7)};
  return secrets;
}

// The session id and the length-prefixed blobs of a plain message body.
struct Fields {
  std::uint64_t session = 0;
  std::vector<Bytes> blobs;

  static Fields of(const NegotiationMessage& m) {
    Fields f;
    f.session = kvn_crypto::readLe<std::uint64_t>(m.body.data() + 5);
    for (std::size_t at = 13; at + 4 <= m.body.size();) {
      const auto n = kvn_crypto::readLe<std::uint32_t>(m.body.data() + at);
      f.blobs.emplace_back(m.body.begin() + at + 4, m.body.begin() + at + 4 + n);
      at += 4 + n;
    }
    return f;
  }
  NegotiationMessage message(std::uint8_t code) const {
    NegotiationMessage m{code, {code, 0, 0, 0, 0}};
    kvn_crypto::appendLe(m.body, session);
    for (const Bytes& b : blobs) {
      kvn_crypto::appendLe(m.body, static_cast<std::uint32_t>(b.size()));
      m.body.insert(m.body.end(), b.begin(), b.end());
    }
    kvn_crypto::writeLe(m.body.data() + 1, static_cast<std::uint32_t>(m.body.size()));
    return m;
  }
};

struct Peers {
  explicit Peers(const Bytes& boxMaster = kMaster)
      : client(ClientSecrets{kLicence, kMaster}), box([&] {
          kvn_crypto::BoxSecrets s = boxSecrets();
          s.masterKey = boxMaster;
          return s;
        }()) {}

  // Plays the exchange until the box's message for the client's state
  // target is due, and returns that message undelivered.
  NegotiationMessage advanceTo(std::uint8_t target) {
    NegotiationMessage toBox = client.firstMessage();
    for (;;) {
      NegotiationMessage toClient = box.next(toBox);
      if (client.state() == target || toClient.isFailure()) return toClient;
      toBox = client.next(toClient);
      if (toBox.isFailure()) return toBox;
    }
  }

  CryptoClient client;
  CryptoBox box;
};

void expectLengthField(const NegotiationMessage& m) {
  ASSERT_GE(m.body.size(), 5u);
  EXPECT_EQ(m.body[0], m.code);
  EXPECT_EQ(kvn_crypto::readLe<std::uint32_t>(m.body.data() + 1), m.body.size());
}

TEST(Negotiation, AgentAndBoxAgreeOnCiphersAndTheDataKeyArrives) {
  Peers peers;
  NegotiationMessage toBox = peers.client.firstMessage();
  // 0xA0: code, u32 21, licence, 0.
  ASSERT_EQ(toBox.body.size(), 21u);
  EXPECT_EQ(toBox.code, 0xA0);
  expectLengthField(toBox);
  EXPECT_EQ(kvn_crypto::readLe<std::uint64_t>(toBox.body.data() + 5), kLicence);
  EXPECT_EQ(kvn_crypto::readLe<std::uint64_t>(toBox.body.data() + 13), 0u);

  std::vector<std::uint8_t> codes;
  while (peers.client.state() != 0) {
    const NegotiationMessage toClient = peers.box.next(toBox);
    ASSERT_FALSE(toClient.isFailure()) << std::hex << int(toBox.code);
    expectLengthField(toClient);
    toBox = peers.client.next(toClient);
    ASSERT_FALSE(toBox.isFailure()) << std::hex << int(toClient.code);
    expectLengthField(toBox);
    codes.push_back(toClient.code);
    codes.push_back(toBox.code);
  }
  EXPECT_EQ(codes, (std::vector<std::uint8_t>{0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9,
                                              0xAA}));
  EXPECT_TRUE(peers.box.next(toBox).isFailure());  // the box has nothing more to say
  EXPECT_EQ(peers.box.state(), 0);
  EXPECT_EQ(peers.client.state(), 0);
  EXPECT_TRUE(peers.client.established());
  EXPECT_EQ(peers.box.storageLicence(), kLicence);
  EXPECT_EQ(peers.box.agentPublicPem(), kvn_crypto::agentKeyPair().publicPem);

  // Crossed ciphers: what one side sends the other reads.
  EXPECT_EQ(peers.client.sendCipher().key(), peers.box.receiveCipher().key());
  EXPECT_EQ(peers.client.receiveCipher().key(), peers.box.sendCipher().key());
  EXPECT_NE(peers.client.sendCipher().key(), peers.client.receiveCipher().key());
  EXPECT_EQ(peers.client.sendCipher().bits(), 128);
  EXPECT_EQ(peers.client.sendCipher().mode(), kvn_crypto::AesContext::Ecb);
  const Bytes payload(1000, 0x3C);
  const Bytes sealed = peers.client(1, payload.data(), payload.size());
  EXPECT_EQ(peers.box(2, sealed.data(), sealed.size()), payload);
  const Bytes answer = peers.box(1, payload.data(), 10);
  EXPECT_EQ(peers.client(2, answer.data(), answer.size()),
            Bytes(payload.begin(), payload.begin() + 10));

  // The data key replaced the master key and keys the data cipher.
  EXPECT_EQ(peers.client.masterKey(), boxSecrets().dataKey);
  EXPECT_EQ(peers.client.dataCipher().bits(), 256);
  EXPECT_EQ(peers.client.dataCipher().mode(), kvn_crypto::AesContext::Cbc);
  EXPECT_EQ(peers.client.dataCipher().key(), peers.box.dataCipher().key());
  EXPECT_EQ(peers.client.dataCipher().iv(), peers.box.dataCipher().iv());
  // The file key still comes from the cryptkey.
  EXPECT_EQ(peers.client.fileKey(), kvn_crypto::deriveKey(kMaster, kMaster, 20000));
}

TEST(Negotiation, EveryCutMessageFailsAndLeavesTheStateForTheWholeOne) {
  kvn_test::LogCapture capture;
  Peers peers;
  NegotiationMessage toBox = peers.client.firstMessage();
  while (peers.client.state() != 0) {
    const NegotiationMessage toClient = peers.box.next(toBox);
    ASSERT_FALSE(toClient.isFailure());
    const std::uint8_t state = peers.client.state();
    const std::size_t size = toClient.body.size();
    for (std::size_t cut :
         {std::size_t{0}, std::size_t{1}, std::size_t{5}, std::size_t{12}, size / 2, size - 1}) {
      NegotiationMessage broken = toClient;
      broken.body.resize(cut);
      EXPECT_TRUE(peers.client.next(broken).isFailure()) << std::hex << int(state) << " " << cut;
      EXPECT_EQ(peers.client.state(), state);
    }
    toBox = peers.client.next(toClient);
    ASSERT_FALSE(toBox.isFailure()) << std::hex << int(state);
  }
  EXPECT_EQ(peers.box.next(toBox).isFailure(), true);
  EXPECT_EQ(peers.box.state(), 0);
}

TEST(Negotiation, MessageOfAnotherStateIsRefused) {
  kvn_test::LogCapture capture;
  Peers peers;
  NegotiationMessage a3 = peers.advanceTo(0xA3);
  ASSERT_EQ(a3.code, 0xA3);
  NegotiationMessage early = a3;
  early.code = early.body[0] = 0xA5;
  EXPECT_TRUE(peers.client.next(early).isFailure());
  EXPECT_EQ(peers.client.state(), 0xA3);
  // A body whose first byte disagrees with the code is malformed.
  NegotiationMessage mixed = a3;
  mixed.body[0] = 0xA5;
  EXPECT_TRUE(peers.client.next(mixed).isFailure());
  EXPECT_EQ(peers.client.state(), 0xA3);
  EXPECT_FALSE(peers.client.next(a3).isFailure());
  EXPECT_EQ(peers.client.state(), 0xA5);
}

TEST(Negotiation, ForeignSessionIdIsRefused) {
  kvn_test::LogCapture capture;
  Peers peers;
  Fields a3 = Fields::of(peers.advanceTo(0xA3));
  a3.session += 1;
  EXPECT_TRUE(peers.client.next(a3.message(0xA3)).isFailure());
  EXPECT_EQ(peers.client.state(), 0xA3);
  EXPECT_NE(capture.text().find("Error: Bad formed packet IDSession"), std::string::npos);
}

TEST(Negotiation, SequenceAdvancesByTwoAndAWrongValueFails) {
  kvn_test::LogCapture capture;
  Peers peers;
  const NegotiationMessage a4 = peers.client.next(peers.advanceTo(0xA3));
  ASSERT_FALSE(a4.isFailure());
  const std::uint64_t v = peers.box.sequence();  // what the box sent in 0xA3
  EXPECT_EQ(peers.client.sequence(), v + 1);
  const NegotiationMessage a5 = peers.box.next(a4);
  ASSERT_FALSE(a5.isFailure());
  EXPECT_EQ(peers.box.sequence(), v + 2);

  CRSA boxSecond(boxSecrets().secondKey.privatePem, CRSA::PrivateKey);
  Fields forged = Fields::of(a5);
  for (std::uint64_t wrong : {v + 1, v + 3, v}) {
    Bytes raw;
    kvn_crypto::appendLe(raw, wrong);
    forged.blobs[0] = boxSecond.encrypt(raw);
    EXPECT_TRUE(peers.client.next(forged.message(0xA5)).isFailure()) << wrong;
    EXPECT_EQ(peers.client.state(), 0xA5);
    EXPECT_EQ(peers.client.sequence(), v + 1);
  }
  // Seven bytes are not a sequence value either.
  forged.blobs[0] = boxSecond.encrypt(Bytes(7, 1));
  EXPECT_TRUE(peers.client.next(forged.message(0xA5)).isFailure());
  EXPECT_NE(capture.text().find("Error: checkIdSeqRSA failed"), std::string::npos);

  EXPECT_FALSE(peers.client.next(a5).isFailure());
  EXPECT_EQ(peers.client.sequence(), v + 3);
  EXPECT_EQ(peers.client.state(), 0xA7);
}

TEST(Negotiation, UnreadableSequenceOrSecondKeyAtA3) {
  kvn_test::LogCapture capture;
  Peers peers;
  const NegotiationMessage a3 = peers.advanceTo(0xA3);
  CRSA agentPublic(kvn_crypto::agentKeyPair().publicPem, CRSA::PublicKey);

  // A key blob that is not a key: the box is not who it claims to be.
  Fields badKey = Fields::of(a3);
  badKey.blobs[1] = agentPublic.encrypt(kvn_crypto::toBytes("not a key"));
  EXPECT_TRUE(peers.client.next(badKey.message(0xA3)).isFailure());
  EXPECT_EQ(peers.client.state(), 0xA3);
  const std::string log = capture.text();
  EXPECT_NE(log.find("Server authentication fails: "), std::string::npos);
  EXPECT_NE(log.find("Error: setting RSA_P2 key"), std::string::npos);

  // A sequence value of another size is ignored and the exchange goes on.
  Fields shortValue = Fields::of(a3);
  shortValue.blobs[0] = agentPublic.encrypt(Bytes(7, 9));
  const NegotiationMessage reply = peers.client.next(shortValue.message(0xA3));
  EXPECT_FALSE(reply.isFailure());
  EXPECT_EQ(peers.client.sequence(), 0u);
  EXPECT_EQ(peers.client.state(), 0xA5);
  // ... and the box, expecting its value + 1, refuses the answer.
  EXPECT_TRUE(peers.box.next(reply).isFailure());
}

TEST(Negotiation, BoxRefusesAnAgentWithAnotherCryptkey) {
  kvn_test::LogCapture capture;
  Peers peers(Bytes(16, 0x42));
  const NegotiationMessage result = peers.advanceTo(0);
  EXPECT_TRUE(result.isFailure());
  EXPECT_EQ(peers.box.state(), 0xA2);
  EXPECT_EQ(peers.client.state(), 0xA3);
}

TEST(Negotiation, ClientWithoutKeysSendsAnEmptyIdentity) {
  kvn_test::LogCapture capture;
  CryptoClient client;
  CryptoBox box(boxSecrets());
  const NegotiationMessage a2 = client.next(box.next(client.firstMessage()));
  ASSERT_FALSE(a2.isFailure());
  EXPECT_TRUE(Fields::of(a2).blobs.at(0).empty());
  EXPECT_TRUE(box.next(a2).isFailure());
  EXPECT_NE(capture.text().find("Negotiation message 0xa2 refused: "), std::string::npos);
}

}  // namespace
