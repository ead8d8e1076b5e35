#include <gtest/gtest.h>

#include <random>
#include <string>

#include "../kvn_log/log_capture.h"
#include "crypto_test_support.h"
#include "kvn_crypto/aes_stream.h"
#include "kvn_log/exception.h"
#include "temp_dir.h"

namespace {

using kvn_crypto::AesContext;
using kvn_crypto::Bytes;
using kvn_crypto::DecryptStream;
using kvn_crypto::EncryptStream;
using kvn_test::runTool;
using kvn_test::thrownBy;
using kvn_test::toHex;

// Collects what reaches the end of a chain.
class Collector : public kvn_common::StreamSink {
 public:
  void write(const char* data, std::uint32_t size) override {
    bytes.insert(bytes.end(), data, data + size);
  }
  void end() override { ++ends; }
  Bytes bytes;
  int ends = 0;
};

AesContext& dataCipher() {
  static AesContext cipher;
  static const bool ready = [] {
    cipher.init(Bytes(32, 0x42), Bytes(32, 0x42), 256, AesContext::Cbc);
    return true;
  }();
  (void)ready;
  return cipher;
}

Bytes randomBytes(std::size_t n, unsigned seed = 7) {
  std::mt19937 gen(seed);
  Bytes out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(gen());
  return out;
}

Bytes encrypt(const Bytes& plain, std::uint32_t blockSize) {
  Collector out;
  EncryptStream stream(dataCipher(), blockSize);
  stream.setNext(&out);
  stream.write(reinterpret_cast<const char*>(plain.data()),
               static_cast<std::uint32_t>(plain.size()));
  stream.end();
  EXPECT_EQ(out.ends, 1);
  return out.bytes;
}

struct Frame {
  std::uint32_t length;
  Bytes cipher;
};

// Splits an encrypted stream into its IV and frames, independently of the
// code under test.
std::vector<Frame> framesOf(const Bytes& stream, Bytes* iv) {
  std::vector<Frame> frames;
  iv->assign(stream.begin(), stream.begin() + 16);
  std::size_t at = 16;
  while (at + 4 <= stream.size()) {
    const std::uint32_t n = kvn_crypto::readLe<std::uint32_t>(stream.data() + at);
    at += 4;
    frames.push_back(
        {n, Bytes(stream.begin() + at, stream.begin() + std::min(stream.size(), at + n))});
    at += n;
  }
  EXPECT_EQ(at, stream.size());
  return frames;
}

std::string opensslDecrypt(const Bytes& cipherText, const Bytes& iv) {
  kvn_test::TempDir dir;
  kvn_test::writeFile(dir.file("in"), std::string(cipherText.begin(), cipherText.end()));
  runTool("openssl enc -d -aes-256-cbc -K " + toHex(dataCipher().key()) + " -iv " + toHex(iv) +
          " -in " + dir.file("in") + " -out " + dir.file("out"));
  return kvn_test::readFile(dir.file("out"));
}

TEST(EncryptStream, FramesDecryptWithTheOpensslToolAndKeepTheDocumentedSizes) {
  const Bytes plain = randomBytes(16);
  const Bytes stream = encrypt(plain, 16);
  ASSERT_EQ(stream.size(), 16u + 4u + 32u);
  Bytes iv;
  const auto frames = framesOf(stream, &iv);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].length, 32u);
  EXPECT_EQ(opensslDecrypt(frames[0].cipher, iv), std::string(plain.begin(), plain.end()));

  // One byte past a block: a second frame with one byte of plaintext.
  const Bytes big = randomBytes(EncryptStream::kFileBlockSize + 1);
  const auto bigFrames = framesOf(encrypt(big, EncryptStream::kFileBlockSize), &iv);
  ASSERT_EQ(bigFrames.size(), 2u);
  EXPECT_EQ(bigFrames[0].length, EncryptStream::kFileBlockSize + 16);
  EXPECT_EQ(bigFrames[1].length, 16u);
  EXPECT_EQ(opensslDecrypt(bigFrames[1].cipher, iv), std::string(1, char(big.back())));
}

TEST(EncryptStream, EmptyStreamIsEmptyAndEachStreamGetsItsOwnIv) {
  EXPECT_TRUE(encrypt({}, 16).empty());

  Collector out;
  EncryptStream stream(dataCipher(), 64);
  stream.setNext(&out);
  stream.write("abc", 3);
  stream.end();
  const Bytes first = out.bytes;
  out.bytes.clear();
  stream.write("abc", 3);
  stream.end();
  EXPECT_EQ(first.size(), out.bytes.size());
  EXPECT_NE(Bytes(first.begin(), first.begin() + 16),
            Bytes(out.bytes.begin(), out.bytes.begin() + 16));

  EXPECT_EQ(thrownBy([] { EncryptStream(dataCipher(), 0); }).code, KVN_E_ARGUMENTS);
  EXPECT_EQ(thrownBy([] { EncryptStream(dataCipher(), kvn_crypto::kMaxEncryptedBlock); }).code,
            KVN_E_ARGUMENTS);
}

TEST(AesStreams, RoundTripWhateverTheWriteSizes) {
  // Writes of every shape: one byte at a time, odd pieces across block
  // borders, and whole blocks passed straight through.
  const Bytes plain = randomBytes(5 * 1000 + 333);
  for (const std::size_t piece :
       {std::size_t(1), std::size_t(7), std::size_t(1000), std::size_t(4096)}) {
    Collector encrypted;
    EncryptStream encrypt(dataCipher(), 1000);
    encrypt.setNext(&encrypted);
    for (std::size_t at = 0; at < plain.size(); at += piece)
      encrypt.write(reinterpret_cast<const char*>(plain.data() + at),
                    static_cast<std::uint32_t>(std::min(piece, plain.size() - at)));
    encrypt.end();
    // The frames on the wire do not depend on how the data came: full
    // blocks, then the rest, whatever the pieces.
    Bytes iv;
    std::vector<std::uint32_t> lengths;
    for (const Frame& frame : framesOf(encrypted.bytes, &iv)) lengths.push_back(frame.length);
    EXPECT_EQ(lengths, std::vector<std::uint32_t>({1008, 1008, 1008, 1008, 1008, 336}))
        << "piece " << piece;

    Collector decrypted;
    DecryptStream decrypt(dataCipher());
    decrypt.setNext(&decrypted);
    for (std::size_t at = 0; at < encrypted.bytes.size(); at += piece)
      decrypt.write(reinterpret_cast<const char*>(encrypted.bytes.data() + at),
                    static_cast<std::uint32_t>(std::min(piece, encrypted.bytes.size() - at)));
    decrypt.end();
    EXPECT_EQ(decrypted.bytes, plain) << "piece " << piece;
    EXPECT_EQ(decrypted.ends, 1);
  }
}

TEST(DecryptStream, PresetIvReplacesTheOneInTheStream) {
  const Bytes plain = randomBytes(100);
  Bytes stream = encrypt(plain, 64);
  DecryptStream::Iv iv;
  std::copy(stream.begin(), stream.begin() + 16, iv.begin());
  std::fill(stream.begin(), stream.begin() + 16, 0);

  Collector out;
  DecryptStream decrypt(dataCipher(), iv);
  decrypt.setNext(&out);
  decrypt.write(reinterpret_cast<const char*>(stream.data()),
                static_cast<std::uint32_t>(stream.size()));
  decrypt.end();
  EXPECT_EQ(out.bytes, plain);
}

TEST(DecryptStream, CorruptStreamsAreRefused) {
  kvn_test::LogCapture log;
  auto feed = [](const Bytes& bytes, bool end) {
    Collector out;
    DecryptStream decrypt(dataCipher());
    decrypt.setNext(&out);
    decrypt.write(reinterpret_cast<const char*>(bytes.data()),
                  static_cast<std::uint32_t>(bytes.size()));
    if (end) decrypt.end();
    return out.ends;
  };
  Bytes oversize(16, 0);
  kvn_crypto::appendLe<std::uint32_t>(oversize, 0x01000001);
  EXPECT_STREQ(thrownBy([&] { feed(oversize, false); }).what(),
               "Invalid block size: stream is probably corrupted");
  EXPECT_NE(log.text().find("Read block size is 16777217"), std::string::npos) << log.text();
  Bytes zero(16, 0);
  kvn_crypto::appendLe<std::uint32_t>(zero, 0);
  EXPECT_STREQ(thrownBy([&] { feed(zero, false); }).what(),
               "Invalid block size: stream is probably corrupted");

  // Input that stops inside the IV, a length or a frame.
  const Bytes good = encrypt(randomBytes(40), 64);
  for (const std::size_t cut : {std::size_t(5), std::size_t(18), good.size() - 1}) {
    EXPECT_STREQ(thrownBy([&] { feed(Bytes(good.begin(), good.begin() + cut), true); }).what(),
                 "Pending data in DecryptStream: stream is probably corrupted")
        << cut;
  }
  EXPECT_EQ(feed(good, true), 1);
  EXPECT_EQ(feed({}, true), 1);

  // A frame that is not a whole number of cipher blocks cannot decrypt.
  Bytes ragged(16, 0);
  kvn_crypto::appendLe<std::uint32_t>(ragged, 17);
  ragged.resize(ragged.size() + 17, 0x33);
  EXPECT_EQ(std::string(thrownBy([&] { feed(ragged, true); }).what()).rfind("Error EVP_Decrypt", 0),
            0u);
}

}  // namespace
