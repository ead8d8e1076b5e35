// DNS messages as far as the box finder needs them, without any I/O: the
// one-question message it sends, and a reader for whatever comes back.
// The reader trusts nothing in a datagram: every length and compression
// pointer is checked against the datagram's end before it is followed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kvn_mdns {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline constexpr std::size_t kDnsHeaderSize = 12;
// Labels of a name together with their length bytes and the final zero.
inline constexpr std::size_t kDnsMaxNameSize = 255;

struct DnsHeader {
  std::uint16_t id = 0;
  std::uint16_t flags = 0;
  std::uint16_t questions = 0;
  std::uint16_t answers = 0;
  std::uint16_t authorities = 0;
  std::uint16_t additionals = 0;
};

enum class DnsSection { Answer, Authority, Additional };

struct DnsRecord {
  DnsSection section = DnsSection::Answer;
  // Dotted, with a final '.'; "." for the root.
  std::string name;
  std::uint16_t type = 0;
  std::uint16_t klass = 0;
  std::uint32_t ttl = 0;
  // Points into the datagram the record was read from.
  ByteView data;
};

struct DnsMessage {
  DnsHeader header;
  std::vector<std::string> questions;
  // In the order of the datagram: answers, authorities, additionals.
  std::vector<DnsRecord> records;
};

// One question for name (dotted; the final '.' may be left out) with the
// given type and class, no records. Empty when the name has an empty label
// or one over 63 bytes, or is longer than a DNS name may be.
Bytes encodeQuestion(std::uint16_t id, std::string_view name, std::uint16_t type,
                     std::uint16_t klass);

// Reads the header, the question names and every record. Anything that does
// not fit the datagram (a truncated name or record, a data length past the
// end, a compression pointer that does not lead strictly backwards, a name
// over 255 bytes) makes the whole datagram unreadable: the result is empty
// and *error, when given, says why. Bytes after the last record are ignored.
std::optional<DnsMessage> parseMessage(ByteView datagram, std::string* error = nullptr);

}  // namespace kvn_mdns
