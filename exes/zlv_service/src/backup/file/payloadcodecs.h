// How a file's bytes are encoded for the box: deflate when the job
// compresses, then the data cipher when it encrypts. The ordinary send
// chain and the preparer of small files both build it here, so that what
// they send cannot drift apart.
#pragma once

#include <cstdint>
#include <optional>

#include "kvn_common/stream.h"
#include "kvn_compression/deflate_stream.h"
#include "kvn_crypto/aes_stream.h"

// The output buffer of a file's deflate stream.
inline constexpr std::uint32_t kDataCompressionBuffer = 0x10000;

class PayloadCodecs {
 public:
  // Appends the codecs to chain; cipher null means no encryption. The
  // codecs live in this object, which must outlive the chain's use.
  void appendTo(kvn_common::StreamChain& chain, bool compress, kvn_crypto::AesContext* cipher) {
    if (compress) chain.append(deflate_.emplace(kDataCompressionBuffer));
    if (cipher) chain.append(encrypt_.emplace(*cipher, kvn_crypto::EncryptStream::kFileBlockSize));
  }

 private:
  std::optional<kvn_compression::DeflateStream> deflate_;
  std::optional<kvn_crypto::EncryptStream> encrypt_;
};
