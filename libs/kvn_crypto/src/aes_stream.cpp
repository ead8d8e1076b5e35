#include "kvn_crypto/aes_stream.h"

#include <openssl/rand.h>

#include <algorithm>
#include <cstring>

#include "kvn_log/exception.h"
#include "kvn_log/log.h"

namespace kvn_crypto {

namespace {

constexpr std::size_t kLengthSize = 4;
// PKCS#7 adds between 1 and 16 bytes to a block.
constexpr std::size_t kPadding = 16;

}  // namespace

EncryptStream::EncryptStream(AesContext& cipher, std::uint32_t blockSize)
    : cipher_(cipher), blockSize_(blockSize) {
  if (blockSize_ == 0 || blockSize_ > kMaxEncryptedBlock - kPadding)
    throw KvnCommonException(KVN_HERE, KVN_E_ARGUMENTS, "Error: input parameters");
}

void EncryptStream::write(const char* data, std::uint32_t size) {
  // An empty write must not open the stream: a stream without data stays
  // empty, without an IV.
  if (size == 0) return;
  if (!headerWritten_) writeHeader();

  auto in = reinterpret_cast<const std::uint8_t*>(data);
  std::size_t left = size;
  while (left > 0) {
    if (held_ == 0 && left >= blockSize_) {
      writeFrame(in, blockSize_);
      in += blockSize_;
      left -= blockSize_;
      continue;
    }
    const std::size_t take = std::min(left, blockSize_ - held_);
    // Grown as data comes rather than to a whole block at once: most files
    // are smaller than a block, and zeroing half a megabyte for each of
    // them cost more than encrypting them.
    if (block_.size() < held_ + take)
      block_.resize(std::min<std::size_t>(blockSize_, std::max(held_ + take, 2 * block_.size())));
    std::memcpy(block_.data() + held_, in, take);
    held_ += take;
    in += take;
    left -= take;
    if (held_ == blockSize_) {
      writeFrame(block_.data(), held_);
      held_ = 0;
    }
  }
}

void EncryptStream::end() {
  if (held_ > 0) {
    writeFrame(block_.data(), held_);
    held_ = 0;
  }
  headerWritten_ = false;
  forward().end();
}

void EncryptStream::writeHeader() {
  if (RAND_bytes(iv_.data(), static_cast<int>(iv_.size())) != 1)
    throw KvnCommonException(KVN_HERE, KVN_E_EXCEPTION, "Error RAND_bytes");
  cipher_.setEncryptIv(iv_.data());
  forward().write(reinterpret_cast<const char*>(iv_.data()),
                  static_cast<std::uint32_t>(iv_.size()));
  headerWritten_ = true;
}

void EncryptStream::writeFrame(const std::uint8_t* plain, std::size_t size) {
  // The cipher may be shared with another stream of the same session; the
  // IV is set again so that each frame uses this stream's own.
  cipher_.setEncryptIv(iv_.data());
  const Bytes encrypted = cipher_.encrypt(plain, size);
  std::uint8_t length[kLengthSize];
  writeLe(length, static_cast<std::uint32_t>(encrypted.size()));
  StreamSink& next = forward();
  next.write(reinterpret_cast<const char*>(length), kLengthSize);
  next.write(reinterpret_cast<const char*>(encrypted.data()),
             static_cast<std::uint32_t>(encrypted.size()));
}

DecryptStream::DecryptStream(AesContext& cipher, std::optional<Iv> presetIv)
    : cipher_(cipher), presetIv_(presetIv) {}

bool DecryptStream::gather(const std::uint8_t*& data, std::size_t& size, std::size_t wanted) {
  // Grows with the bytes that actually arrive: a corrupt length alone
  // cannot make the stream allocate its 16 MiB.
  const std::size_t take = std::min(size, wanted - gathered_.size());
  gathered_.insert(gathered_.end(), data, data + take);
  data += take;
  size -= take;
  return gathered_.size() == wanted;
}

void DecryptStream::write(const char* data, std::uint32_t size) {
  auto in = reinterpret_cast<const std::uint8_t*>(data);
  std::size_t left = size;
  while (left > 0) {
    switch (expect_) {
      case Expect::Iv:
        if (!gather(in, left, iv_.size())) return;
        std::memcpy(iv_.data(), gathered_.data(), iv_.size());
        gathered_.clear();
        startStream();
        expect_ = Expect::Length;
        break;
      case Expect::Length:
        if (!gather(in, left, kLengthSize)) return;
        frameLength_ = readLe<std::uint32_t>(gathered_.data());
        gathered_.clear();
        if (frameLength_ == 0 || frameLength_ > kMaxEncryptedBlock) {
          KLOG_E("Read block size is %u", frameLength_);
          throw KvnCommonException(KVN_HERE, "Invalid block size: stream is probably corrupted");
        }
        expect_ = Expect::Frame;
        break;
      case Expect::Frame:
        // A frame wholly inside the input is decrypted where it lies.
        if (gathered_.empty() && left >= frameLength_) {
          decryptFrame(in, frameLength_);
          in += frameLength_;
          left -= frameLength_;
        } else {
          if (!gather(in, left, frameLength_)) return;
          decryptFrame(gathered_.data(), frameLength_);
          gathered_.clear();
        }
        expect_ = Expect::Length;
        break;
    }
  }
}

void DecryptStream::startStream() {
  cipher_.setDecryptIv(presetIv_ ? presetIv_->data() : iv_.data());
}

void DecryptStream::decryptFrame(const std::uint8_t* frame, std::size_t size) {
  // Set again for every frame: the cipher may serve another stream too.
  startStream();
  const Bytes plain = cipher_.decrypt(frame, size);
  if (!plain.empty())
    forward().write(reinterpret_cast<const char*>(plain.data()),
                    static_cast<std::uint32_t>(plain.size()));
}

void DecryptStream::end() {
  // Between frames is the only clean place to stop; an empty stream (still
  // waiting for its IV, nothing gathered) is clean too.
  const bool clean = gathered_.empty() && expect_ != Expect::Frame;
  if (!clean) {
    reset();
    throw KvnCommonException(KVN_HERE,
                             "Pending data in DecryptStream: stream is probably corrupted");
  }
  reset();
  forward().end();
}

void DecryptStream::reset() {
  expect_ = Expect::Iv;
  gathered_.clear();
  frameLength_ = 0;
}

}  // namespace kvn_crypto
