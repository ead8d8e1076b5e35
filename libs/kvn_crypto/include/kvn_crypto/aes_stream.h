// Stream-chain elements that encrypt and decrypt job data with the
// session's data cipher (AES-256-CBC). The encrypted form is a random
// 16-byte IV followed by frames, each a u32 little-endian length and the
// ciphertext of one plaintext block; every block is encrypted on its own,
// with the stream's IV and PKCS#7 padding, so a frame can be checked and
// decrypted without the ones before it. A stream without data is empty.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "kvn_common/stream.h"
#include "kvn_crypto/aes_context.h"
#include "kvn_crypto/bytes.h"

namespace kvn_crypto {

// A decrypting side refuses frames above this; it bounds what a corrupted
// length field can make the reader allocate.
inline constexpr std::uint32_t kMaxEncryptedBlock = 0x1000000;

class EncryptStream : public kvn_common::StreamLink {
 public:
  // Plaintext block sizes of the file backup and of the volume backup.
  static constexpr std::uint32_t kFileBlockSize = 0x80000;
  static constexpr std::uint32_t kVolumeBlockSize = 0x200000;

  // cipher is not owned and must be initialised. A block size of 0, or one
  // whose frames a reader would refuse, throws KVN_E_ARGUMENTS.
  EncryptStream(AesContext& cipher, std::uint32_t blockSize);

  void write(const char* data, std::uint32_t size) override;
  // Encrypts what is left as a shorter last block, then ends the next
  // element. The stream can then carry a new stream (with a new IV).
  void end() override;

 private:
  void writeHeader();
  void writeFrame(const std::uint8_t* plain, std::size_t size);

  AesContext& cipher_;
  std::uint32_t blockSize_;
  Bytes block_;
  std::size_t held_ = 0;
  std::array<std::uint8_t, AesContext::kIvSize> iv_{};
  bool headerWritten_ = false;
};

class DecryptStream : public kvn_common::StreamLink {
 public:
  using Iv = std::array<std::uint8_t, AesContext::kIvSize>;

  // With presetIv, the IV at the start of the stream is read over and the
  // preset one used instead.
  explicit DecryptStream(AesContext& cipher, std::optional<Iv> presetIv = std::nullopt);

  // Throws "Invalid block size: stream is probably corrupted" for a frame
  // length of 0 or above kMaxEncryptedBlock, and the cipher's error for a
  // frame that does not decrypt.
  void write(const char* data, std::uint32_t size) override;
  // Throws "Pending data in DecryptStream: stream is probably corrupted"
  // when the input stopped inside the IV, a length or a frame.
  void end() override;

 private:
  // Moves input into the gathering buffer until it holds wanted bytes;
  // true once it does.
  bool gather(const std::uint8_t*& data, std::size_t& size, std::size_t wanted);
  void startStream();
  void decryptFrame(const std::uint8_t* frame, std::size_t size);
  void reset();

  enum class Expect { Iv, Length, Frame };

  AesContext& cipher_;
  std::optional<Iv> presetIv_;
  Iv iv_{};
  Expect expect_ = Expect::Iv;
  std::uint32_t frameLength_ = 0;
  // The part of the IV, length or frame that arrived so far.
  Bytes gathered_;
};

}  // namespace kvn_crypto
