// Hand-built DNS datagrams for the parser and reply tests.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "kvn_mdns/box_reply.h"
#include "kvn_mdns/dns_message.h"

namespace kvn_mdns {

// Readable failure messages.
inline void PrintTo(const FoundBox& box, std::ostream* out) {
  *out << "{" << box.addresses << ", " << box.license << ", " << box.hostname << "}";
}

}  // namespace kvn_mdns

namespace kvn_test {

using kvn_mdns::Bytes;

inline void putU16(Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v >> 8));
  out.push_back(static_cast<std::uint8_t>(v));
}

// Labels of a dotted name and the final zero.
inline Bytes dnsName(std::string_view dotted) {
  Bytes out;
  while (!dotted.empty()) {
    const std::size_t dot = dotted.find('.');
    const std::string_view label = dotted.substr(0, dot);
    out.push_back(static_cast<std::uint8_t>(label.size()));
    out.insert(out.end(), label.begin(), label.end());
    dotted.remove_prefix(dot == std::string_view::npos ? dotted.size() : dot + 1);
  }
  out.push_back(0);
  return out;
}

inline Bytes dnsRecord(const Bytes& name, std::uint16_t type, const Bytes& data) {
  Bytes out = name;
  putU16(out, type);
  putU16(out, 0x8001);  // IN with the cache-flush bit, as responders send
  putU16(out, 0);
  putU16(out, 120);
  putU16(out, static_cast<std::uint16_t>(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  return out;
}

inline Bytes aRecord(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  return dnsRecord(dnsName("box.local"), 1, {a, b, c, d});
}

inline Bytes txtRecord(std::initializer_list<std::string> strings) {
  Bytes data;
  for (const std::string& s : strings) {
    data.push_back(static_cast<std::uint8_t>(s.size()));
    data.insert(data.end(), s.begin(), s.end());
  }
  return dnsRecord(dnsName("box._zelvo._tcp.local"), 16, data);
}

inline Bytes ptrRecord() {
  return dnsRecord(dnsName("_zelvo._tcp.local"), 12, dnsName("box._zelvo._tcp.local"));
}

// A reply with the question echoed (as to a legacy unicast query) as many
// times as questions says, and the given records in the answer and
// additional sections.
class Reply {
 public:
  Reply& id(std::uint16_t value) {
    id_ = value;
    return *this;
  }
  Reply& questions(std::uint16_t count) {
    questions_ = count;
    return *this;
  }
  Reply& answers(std::vector<Bytes> records) {
    answers_ = std::move(records);
    return *this;
  }
  Reply& additionals(std::vector<Bytes> records) {
    additionals_ = std::move(records);
    return *this;
  }

  Bytes bytes() const {
    Bytes out;
    putU16(out, id_);
    putU16(out, 0x8400);  // a response with authority
    putU16(out, questions_);
    putU16(out, static_cast<std::uint16_t>(answers_.size()));
    putU16(out, 0);
    putU16(out, static_cast<std::uint16_t>(additionals_.size()));
    for (int i = 0; i < questions_; ++i) {
      const Bytes name = dnsName("_zelvo._tcp.local");
      out.insert(out.end(), name.begin(), name.end());
      putU16(out, 12);
      putU16(out, 0x8001);
    }
    for (const auto* section : {&answers_, &additionals_})
      for (const Bytes& record : *section) out.insert(out.end(), record.begin(), record.end());
    return out;
  }

 private:
  std::uint16_t id_ = 1;
  std::uint16_t questions_ = 1;
  std::vector<Bytes> answers_;
  std::vector<Bytes> additionals_;
};

// A header with the given counts, followed by body.
inline Bytes rawMessage(std::uint16_t questions, std::uint16_t answers, const Bytes& body) {
  Bytes out;
  putU16(out, 1);
  putU16(out, 0x8400);
  putU16(out, questions);
  putU16(out, answers);
  putU16(out, 0);
  putU16(out, 0);
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

}  // namespace kvn_test
