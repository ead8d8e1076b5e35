#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <tuple>
#include <vector>

#include "../kvn_log/log_capture.h"
#include "crypto_test_support.h"
#include "kvn_crypto/aes_context.h"
#include "kvn_crypto/crypto.h"
#include "kvn_crypto/session_keys.h"
#include "kvn_log/exception.h"
#include "remembered_keys.h"
#include "sha1_kdf.h"
#include "temp_dir.h"

namespace {

using kvn_crypto::AesContext;
using kvn_crypto::Bytes;
using kvn_test::bytesOf;
using kvn_test::runTool;
using kvn_test::thrownBy;
using kvn_test::toHex;

// PBKDF2-HMAC-SHA1 and EVP_BytesToKey(SHA-1, 10000) written out in Python
// from their definitions, printing key and IV in hexadecimal.
const char* kDerivationScript = R"(
import hashlib, sys
pw, salt = bytes.fromhex(sys.argv[1]), bytes.fromhex(sys.argv[2])
keylen, ivlen = int(sys.argv[3]), int(sys.argv[4])
t = hashlib.pbkdf2_hmac('sha1', pw, salt, 10000, len(pw))
out, prev = b'', b''
while len(out) < keylen + ivlen:
    d = prev + t + salt[:8]
    for _ in range(10000):
        d = hashlib.sha1(d).digest()
    prev, out = d, out + d
print(out[:keylen].hex(), out[keylen:keylen + ivlen].hex())
)";

std::string python(const std::string& script, const std::string& args) {
  kvn_test::TempDir dir;
  kvn_test::writeFile(dir.file("s.py"), script);
  return runTool("python3 " + dir.file("s.py") + " " + args);
}

std::string opensslEnc(const std::string& options, const std::string& input) {
  kvn_test::TempDir dir;
  kvn_test::writeFile(dir.file("in"), input);
  runTool("openssl enc " + options + " -in " + dir.file("in") + " -out " + dir.file("out"));
  return kvn_test::readFile(dir.file("out"));
}

TEST(KeyDerivation, MatchesPythonHashlib) {
  const Bytes master = bytesOf("\x01\x23\x45\x67\x89\xab\xcd\xef\x10\x32\x54\x76\x98\xba\xdc\xfe");
  kvn_crypto::SessionKeys keys;
  keys.setMasterKey(master);
  const std::string expected = python(
      "import hashlib, sys\n"
      "m = bytes.fromhex(sys.argv[1])\n"
      "print(' '.join(hashlib.pbkdf2_hmac('sha1', m, m, n, 32).hex() "
      "for n in (20000, 40000, 60000)))\n",
      toHex(master));
  EXPECT_EQ(toHex(keys.file) + " " + toHex(keys.transport) + " " + toHex(keys.box), expected);
}

// The keys of the last master key are reused; a new master key (a new
// pairing) must give its own keys, and going back the old ones again.
TEST(KeyDerivation, KeysFollowTheMasterKeyWhenItChanges) {
  const Bytes first = bytesOf("first master key");
  const Bytes second = bytesOf("second master key");
  const auto expected = [](const Bytes& master) {
    return toHex(kvn_crypto::deriveKey(master, master, 20000)) +
           toHex(kvn_crypto::deriveKey(master, master, 40000)) +
           toHex(kvn_crypto::deriveKey(master, master, 60000));
  };
  for (const Bytes& master : {first, second, first, first}) {
    kvn_crypto::SessionKeys keys;
    keys.setMasterKey(master);
    EXPECT_EQ(keys.master, master);
    EXPECT_EQ(toHex(keys.file) + toHex(keys.transport) + toHex(keys.box), expected(master));
  }
}

// A kept derivation must give what a fresh one gives, for each secret, size
// and mode on its own, also after more secrets than are kept have pushed it
// out; a short secret is refused as init refuses it.
TEST(KeyDerivation, RememberedContextsMatchFreshOnesWhateverCameBetween) {
  const Bytes message = bytesOf("a message of some length, longer than a block");
  std::vector<std::tuple<Bytes, int, AesContext::Mode>> uses;
  for (int round = 0; round < 2; ++round) {
    for (const char* secret : {"first secret", "second secret", "third secret", "fourth secret",
                               "fifth secret", "first secret"}) {
      uses.emplace_back(bytesOf(secret), 256, AesContext::Cbc);
    }
    uses.emplace_back(bytesOf("first secret"), 128, AesContext::Ecb);
    uses.emplace_back(bytesOf("first secret"), 256, AesContext::Ecb);
  }
  for (const auto& [secret, bits, mode] : uses) {
    AesContext fresh;
    fresh.init(secret, secret, bits, mode);
    AesContext remembered;
    kvn_crypto::detail::initRemembered(remembered, secret, bits, mode);
    EXPECT_EQ(toHex(remembered.key()) + toHex(remembered.iv()),
              toHex(fresh.key()) + toHex(fresh.iv()));
    EXPECT_EQ(remembered.bits(), bits);
    EXPECT_EQ(remembered.mode(), mode);
    EXPECT_EQ(toHex(remembered.encrypt(message)), toHex(fresh.encrypt(message)));
  }
  AesContext shortSecret;
  EXPECT_THROW(
      kvn_crypto::detail::initRemembered(shortSecret, bytesOf("short"), 256, AesContext::Cbc),
      KvnCommonException);
  EXPECT_FALSE(shortSecret.encryptReady());
}

TEST(KeyDerivation, EmptyMasterKeyLogsAndGivesEmptyKeys) {
  kvn_test::LogCapture capture;
  kvn_crypto::SessionKeys keys;
  keys.setMasterKey({});
  EXPECT_TRUE(keys.file.empty());
  EXPECT_TRUE(keys.transport.empty());
  EXPECT_TRUE(keys.box.empty());
  EXPECT_NE(capture.text().find("Error initial parameters PBKDF2"), std::string::npos);
}

// The derivations against OpenSSL's own at the edges of SHA-1's block and
// digest: HMAC keys shorter than, equal to and longer than a block (a long
// one is hashed first), outputs that end inside a digest, one round, and a
// key and IV that share a digest or span several.
TEST(KeyDerivation, MatchesOpensslAtBlockAndDigestEdges) {
  for (const std::size_t passwordSize : {1u, 20u, 63u, 64u, 65u, 200u}) {
    Bytes password(passwordSize);
    for (std::size_t i = 0; i < passwordSize; ++i) password[i] = std::uint8_t(i * 7 + 3);
    const Bytes salt = bytesOf("pepper and salt, seventy bytes long .................. the end!!");
    for (const int iterations : {1, 2, 1000}) {
      for (const std::size_t saltSize : {std::size_t(0), std::size_t(8), salt.size()}) {
        Bytes ours(passwordSize + 13);
        Bytes theirs(ours.size());
        kvn_crypto::detail::pbkdf2HmacSha1(password.data(), password.size(), salt.data(), saltSize,
                                           iterations, ours.data(), ours.size());
        ASSERT_EQ(PKCS5_PBKDF2_HMAC_SHA1(reinterpret_cast<const char*>(password.data()),
                                         int(password.size()), salt.data(), int(saltSize),
                                         iterations, int(theirs.size()), theirs.data()),
                  1);
        EXPECT_EQ(toHex(ours), toHex(theirs)) << "pbkdf2 password " << passwordSize << " salt "
                                              << saltSize << " rounds " << iterations;
      }
      for (const EVP_CIPHER* cipher : {EVP_aes_128_ecb(), EVP_aes_128_cbc(), EVP_aes_256_cbc()}) {
        const auto keySize = std::size_t(EVP_CIPHER_get_key_length(cipher));
        const auto ivSize = std::size_t(EVP_CIPHER_get_iv_length(cipher));
        Bytes key(keySize);
        Bytes iv(ivSize);
        Bytes theirKey(EVP_MAX_KEY_LENGTH);
        Bytes theirIv(EVP_MAX_IV_LENGTH);
        kvn_crypto::detail::bytesToKeySha1(salt.data(), password.data(), password.size(),
                                           iterations, key.data(), keySize, iv.data(), ivSize);
        ASSERT_EQ(EVP_BytesToKey(cipher, EVP_sha1(), salt.data(), password.data(),
                                 int(password.size()), iterations, theirKey.data(), theirIv.data()),
                  int(keySize));
        theirKey.resize(keySize);
        theirIv.resize(ivSize);
        EXPECT_EQ(toHex(key) + " " + toHex(iv), toHex(theirKey) + " " + toHex(theirIv))
            << "bytes-to-key password " << passwordSize << " key " << keySize << " rounds "
            << iterations;
      }
    }
  }
}

struct CipherCase {
  int bits;
  AesContext::Mode mode;
  const char* opensslName;
};

class AesAgainstOpenssl : public ::testing::TestWithParam<CipherCase> {};

TEST_P(AesAgainstOpenssl, KeyIvAndCiphertextMatchIndependentTools) {
  const CipherCase c = GetParam();
  const Bytes password = bytesOf("a shared secret of some length!");
  const Bytes salt = bytesOf("salty-salt-bytes");
  AesContext aes;
  aes.init(password, salt, c.bits, c.mode);
  const int ivLength = c.mode == AesContext::Cbc ? 16 : 0;
  EXPECT_EQ(
      toHex(aes.key()) + " " + toHex(aes.iv()),
      python(kDerivationScript, toHex(password) + " " + toHex(salt) + " " +
                                    std::to_string(c.bits / 8) + " " + std::to_string(ivLength)));

  std::string options = std::string("-") + c.opensslName + " -K " + toHex(aes.key());
  if (ivLength != 0) options += " -iv " + toHex(aes.iv());
  const std::string plain = "The quick brown fox jumps over the lazy dog, twice over.";
  const Bytes cipher = aes.encrypt(bytesOf(plain));
  EXPECT_EQ(opensslEnc("-d " + options, kvn_crypto::toString(cipher)), plain);
  EXPECT_EQ(aes.decrypt(bytesOf(opensslEnc("-e " + options, plain))), bytesOf(plain));
}

INSTANTIATE_TEST_SUITE_P(Ciphers, AesAgainstOpenssl,
                         ::testing::Values(CipherCase{256, AesContext::Cbc, "aes-256-cbc"},
                                           CipherCase{128, AesContext::Ecb, "aes-128-ecb"},
                                           CipherCase{128, AesContext::Cbc, "aes-128-cbc"}));

TEST(Aes, MessagesArePaddedToWholeBlocksAndIndependent) {
  AesContext aes;
  aes.init(bytesOf("password"), bytesOf("saltsalt"), 128, AesContext::Ecb);
  EXPECT_EQ(aes.encrypt(Bytes(15, 1)).size(), 16u);
  EXPECT_EQ(aes.encrypt(Bytes(16, 1)).size(), 32u);
  EXPECT_EQ(aes.encrypt(Bytes(0, 1)).size(), 16u);
  // Every message starts afresh: the same input gives the same output.
  EXPECT_EQ(aes.encrypt(Bytes(40, 9)), aes.encrypt(Bytes(40, 9)));
}

TEST(Aes, NewIvIsUsedByLaterMessages) {
  AesContext aes;
  aes.init(bytesOf("password"), bytesOf("saltsalt"), 256, AesContext::Cbc);
  std::uint8_t iv[16];
  for (int i = 0; i < 16; ++i) iv[i] = static_cast<std::uint8_t>(0xF0 + i);
  aes.setEncryptIv(iv);
  const std::string plain(100, 'x');
  const Bytes cipher = aes.encrypt(bytesOf(plain));
  EXPECT_EQ(
      opensslEnc("-d -aes-256-cbc -K " + toHex(aes.key()) + " -iv " + toHex(Bytes(iv, iv + 16)),
                 kvn_crypto::toString(cipher)),
      plain);
  aes.setDecryptIv(iv);
  EXPECT_EQ(aes.decrypt(cipher), bytesOf(plain));
}

TEST(Aes, FailuresThrowTheirMessages) {
  AesContext aes;
  auto e = thrownBy([&] { aes.encrypt(Bytes(4, 0)); });
  EXPECT_STREQ(e.what(), "Error encrypt context not initialized");
  EXPECT_EQ(e.code, KVN_E_ARGUMENTS);
  e = thrownBy([&] { aes.decrypt(Bytes(16, 0)); });
  EXPECT_STREQ(e.what(), "Error decrypt context not initialized");

  aes.init(bytesOf("password"), bytesOf("saltsalt"), 256, AesContext::Cbc);
  e = thrownBy([&] { aes.decrypt(Bytes(32, 0x41)); });
  EXPECT_EQ(std::string(e.what()).rfind("Error EVP_DecryptFinal_ex: ", 0), 0u) << e.what();
  EXPECT_EQ(e.code, KVN_E_EXCEPTION);
  e = thrownBy([&] { aes.decrypt(Bytes(17, 0x41)); });
  EXPECT_EQ(std::string(e.what()).rfind("Error EVP_DecryptFinal_ex: ", 0), 0u) << e.what();

  // EVP_BytesToKey takes 8 salt bytes; a shorter salt must not be read past.
  e = thrownBy(
      [] { AesContext().init(bytesOf("password"), bytesOf("short"), 256, AesContext::Cbc); });
  EXPECT_EQ(e.code, KVN_E_ARGUMENTS);
  e = thrownBy([] { AesContext().init({}, bytesOf("saltsalt"), 256, AesContext::Cbc); });
  EXPECT_STREQ(e.what(), "Error PKCS5_PBKDF2_HMAC_SHA1");
}

TEST(Aes, AppendingFormsKeepThePrefixAndLeaveItOnFailure) {
  AesContext aes;
  aes.init(bytesOf("password"), bytesOf("saltsalt"), 256, AesContext::Cbc);
  const Bytes plain = bytesOf(std::string(1000, 'p'));
  Bytes out = {1, 2};
  aes.encryptInto(plain.data(), plain.size(), out);
  EXPECT_EQ(Bytes(out.begin() + 2, out.end()), aes.encrypt(plain));
  Bytes back = {3};
  aes.decryptInto(out.data() + 2, out.size() - 2, back);
  EXPECT_EQ(Bytes(back.begin() + 1, back.end()), plain);
  EXPECT_EQ(back[0], 3);

  // A message whose padding does not check out adds nothing.
  Bytes failed = {4, 5};
  const Bytes bad(32, 0x41);
  EXPECT_THROW(aes.decryptInto(bad.data(), bad.size(), failed), KvnCommonException);
  EXPECT_EQ(failed, (Bytes{4, 5}));
}

TEST(Crypto, UnknownDirectionIsLoggedAndGivesNothing) {
  kvn_test::LogCapture capture;
  kvn_crypto::Crypto crypto;
  const std::uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_TRUE(crypto(3, data, sizeof data).empty());
  EXPECT_NE(capture.text().find("Crypto::operator() parameters errors"), std::string::npos);
  // Before a negotiation the ciphers are not ready.
  EXPECT_THROW(crypto(kvn_crypto::Crypto::Encrypt, data, sizeof data), KvnCommonException);
}

}  // namespace
