// The AES stream reader on arbitrary input. The first byte chooses how the
// rest is cut into writes (1 to 256 bytes each, 0 for one write), so that
// IVs, lengths and frames arrive split in every way; the second byte's low
// bit asks for a preset IV. Refusals are KvnCommonExceptions; anything else
// (a crash, a leak, an overrun) is a finding.
#include <cstddef>
#include <cstdint>

#include "fuzz_support.h"
#include "kvn_crypto/aes_stream.h"
#include "kvn_log/exception.h"
#include "kvn_log/log.h"

namespace {

kvn_crypto::AesContext& cipher() {
  static kvn_crypto::AesContext context;
  static const bool ready = [] {
    kvn_log::setLevel(kvn_log::Fatal);
    context.init(kvn_crypto::Bytes(32, 0x42), kvn_crypto::Bytes(32, 0x42), 256,
                 kvn_crypto::AesContext::Cbc);
    return true;
  }();
  (void)ready;
  return context;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const std::size_t piece = data[0] == 0 ? size : data[0];
  std::optional<kvn_crypto::DecryptStream::Iv> preset;
  if (data[1] & 1) preset = kvn_crypto::DecryptStream::Iv{};
  data += 2;
  size -= 2;

  kvn_fuzz::DiscardSink sink;
  kvn_crypto::DecryptStream stream(cipher(), preset);
  stream.setNext(&sink);
  try {
    for (std::size_t at = 0; at < size; at += piece) {
      const std::size_t n = size - at < piece ? size - at : piece;
      stream.write(reinterpret_cast<const char*>(data + at), static_cast<std::uint32_t>(n));
    }
    stream.end();
  } catch (const KvnCommonException&) {
  }
  return 0;
}
