#include <gtest/gtest.h>

#include "../kvn_log/log_capture.h"
#include "crypto_test_support.h"
#include "kvn_crypto/diffie_hellman.h"
#include "kvn_log/exception.h"

namespace {

using kvn_crypto::Bytes;
using kvn_crypto::DiffieHellman;

std::string decimal(const Bytes& bigEndian) {
  return kvn_test::runTool("python3 -c 'print(int(\"" + kvn_test::toHex(bigEndian) + "\", 16))'");
}

template <typename F>
std::string thrownText(F f) {
  try {
    f();
  } catch (const KvnCommonException& e) {
    EXPECT_EQ(e.code, KVN_E_ARGUMENTS);
    return e.what();
  }
  ADD_FAILURE() << "no exception";
  return {};
}

TEST(DiffieHellman, BoxGroupIsASafe64BitPrimeAndBothSidesAgree) {
  DiffieHellman box;
  box.setPrimeBits(64);
  box.generateKey();
  EXPECT_EQ(box.size(), 8);
  EXPECT_EQ(box.generator(), Bytes{2});

  // The prime and (p - 1) / 2 are prime by the openssl tool's own test.
  const std::string p = decimal(box.prime());
  EXPECT_NE(kvn_test::runTool("openssl prime " + p).find("is prime"), std::string::npos);
  const std::string q = kvn_test::runTool("python3 -c 'print((" + p + " - 1) // 2)'");
  EXPECT_NE(kvn_test::runTool("openssl prime " + q).find("is prime"), std::string::npos);

  DiffieHellman agent;
  agent.setParameters(box.generator(), box.prime());
  agent.generateKey();
  agent.setPeerKey(box.publicKey());
  box.setPeerKey(agent.publicKey());
  EXPECT_EQ(agent.computeSecret(), box.computeSecret());
  EXPECT_EQ(agent.computeSecret().size(), 8u);
}

TEST(DiffieHellman, ShortSecretIsLeftPaddedToThePrimeSize) {
  DiffieHellman box;
  box.setPrimeBits(64);
  box.generateKey();
  // About one secret in 256 has a leading zero byte; look for one.
  for (int attempt = 0; attempt < 20000; ++attempt) {
    DiffieHellman agent;
    agent.setParameters(box.generator(), box.prime());
    agent.generateKey();
    agent.setPeerKey(box.publicKey());
    const Bytes secret = agent.computeSecret();
    ASSERT_EQ(secret.size(), 8u);
    if (secret[0] != 0) continue;
    box.setPeerKey(agent.publicKey());
    EXPECT_EQ(box.computeSecret(), secret);
    return;
  }
  FAIL() << "no short secret found";
}

TEST(DiffieHellman, MissingOrBadParametersAreRefused) {
  kvn_test::LogCapture capture;
  DiffieHellman dh;
  EXPECT_EQ(thrownText([&] { dh.generateKey(); }), "Parameters not defined GenerateKey 2");
  dh.setPrimeBits(16);
  EXPECT_EQ(thrownText([&] { dh.generateKey(); }), "Parameters not defined GenerateKey 2");
  EXPECT_EQ(thrownText([&] { dh.computeSecret(); }), "Parameters not defined OtherPartKey");
  EXPECT_EQ(thrownText([&] { dh.setParameters({}, {}); }), "Parameters not defined DH");

  DiffieHellman composite;
  composite.setParameters(Bytes{2}, Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
  EXPECT_EQ(thrownText([&] { composite.generateKey(); }), "Error generating DH parameters");
  EXPECT_NE(capture.text().find("Error generating DH parameters: 2"), std::string::npos);

  // Peer values 1 and p - 1 would force a known secret.
  DiffieHellman box;
  box.setPrimeBits(64);
  box.generateKey();
  Bytes pMinusOne = box.prime();
  pMinusOne.back() = static_cast<std::uint8_t>(pMinusOne.back() - 1);  // p is odd
  for (const Bytes& bad : {Bytes{1}, pMinusOne, box.prime()}) {
    box.setPeerKey(bad);
    EXPECT_EQ(thrownText([&] { box.computeSecret(); }), "Parameters not defined OtherPartKey");
  }
}

}  // namespace
