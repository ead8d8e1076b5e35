// Arbitrary bytes as what the box sends on the Tessel channel: the frame
// reader cuts them into messages, and each body goes through the JSON check
// the client applies before dispatching. Nothing may crash, and no frame
// over the limit may be allocated (libFuzzer's -malloc_limit_mb catches a
// reader that reserves what a header claims before checking it).
//
// Input: u8 chunk size (0 means all at once), then the received bytes,
// fed in chunks of that size so that partial headers and bodies occur.
#include <cstddef>
#include <cstdint>

#include "kvn_network/tessel_frame.h"

using namespace kvn_network::tessel;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t chunk = data[0] == 0 ? size : data[0];
  const char* bytes = reinterpret_cast<const char*>(data + 1);
  const std::size_t length = size - 1;

  TesselFrameReader reader;
  TesselMessage message;
  for (std::size_t at = 0; at < length; at += chunk) {
    const std::size_t take = length - at < chunk ? length - at : chunk;
    const bool alive = reader.feed(bytes + at, take);
    while (reader.next(message) == TesselFrameReader::Status::Message) {
      if (message.json.size() > qsizetype(kMaxFrameBody) ||
          message.payload.size() > qsizetype(kMaxFrameBody))
        __builtin_trap();
      if (!message.hasPayload && !message.payload.isEmpty()) __builtin_trap();
      (void)parseMessage(message.json);
    }
    if (!alive) {
      if (reader.errorText()[0] == '\0') __builtin_trap();
      break;
    }
  }
  return 0;
}
