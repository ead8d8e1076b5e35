#include "kvn_mdns/dns_message.h"

namespace kvn_mdns {

namespace {

constexpr std::size_t kMaxLabel = 63;
constexpr std::uint8_t kPointerBits = 0xC0;

void putU16(Bytes& out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value >> 8));
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
}

// Big-endian reads that refuse to pass the end of the datagram.
class Reader {
 public:
  explicit Reader(ByteView bytes) : bytes_(bytes) {}

  std::size_t position() const { return pos_; }
  std::size_t remaining() const { return bytes_.size() - pos_; }

  bool u16(std::uint16_t& value) {
    if (remaining() < 2) return false;
    value = static_cast<std::uint16_t>(bytes_[pos_] << 8 | bytes_[pos_ + 1]);
    pos_ += 2;
    return true;
  }

  bool u32(std::uint32_t& value) {
    std::uint16_t high = 0;
    std::uint16_t low = 0;
    if (!u16(high) || !u16(low)) return false;
    value = static_cast<std::uint32_t>(high) << 16 | low;
    return true;
  }

  bool take(std::size_t size, ByteView& out) {
    if (remaining() < size) return false;
    out = bytes_.subspan(pos_, size);
    pos_ += size;
    return true;
  }

  // A name that may end in a compression pointer. Pointers are followed
  // in a loop, never recursively, and each must lead to a place before the
  // piece of name that holds it, so every chain ends.
  bool name(std::string& out, const char*& error) {
    out.clear();
    std::size_t at = pos_;
    std::size_t pieceStart = pos_;
    std::size_t size = 1;  // the final zero byte or its stand-in
    std::optional<std::size_t> after;
    for (;;) {
      if (at >= bytes_.size()) return fail(error, "name past the end");
      const std::uint8_t length = bytes_[at];
      if ((length & kPointerBits) == kPointerBits) {
        if (at + 1 >= bytes_.size()) return fail(error, "compression pointer past the end");
        const std::size_t target =
            static_cast<std::size_t>(length & ~kPointerBits) << 8 | bytes_[at + 1];
        if (!after) after = at + 2;
        if (target >= pieceStart) return fail(error, "compression pointer does not lead back");
        at = pieceStart = target;
        continue;
      }
      if ((length & kPointerBits) != 0) return fail(error, "unknown label type");
      if (length == 0) {
        if (!after) after = at + 1;
        break;
      }
      if (length >= bytes_.size() - at) return fail(error, "label past the end");
      size += length + 1;
      if (size > kDnsMaxNameSize) return fail(error, "name too long");
      out.append(reinterpret_cast<const char*>(&bytes_[at + 1]), length);
      out.push_back('.');
      at += length + 1;
    }
    if (out.empty()) out = ".";
    pos_ = *after;
    return true;
  }

 private:
  static bool fail(const char*& error, const char* why) {
    error = why;
    return false;
  }

  ByteView bytes_;
  std::size_t pos_ = 0;
};

bool readRecord(Reader& reader, DnsSection section, DnsRecord& record, const char*& error) {
  record.section = section;
  if (!reader.name(record.name, error)) return false;
  std::uint16_t dataSize = 0;
  if (!reader.u16(record.type) || !reader.u16(record.klass) || !reader.u32(record.ttl) ||
      !reader.u16(dataSize)) {
    error = "record header past the end";
    return false;
  }
  if (!reader.take(dataSize, record.data)) {
    error = "record data past the end";
    return false;
  }
  return true;
}

}  // namespace

Bytes encodeQuestion(std::uint16_t id, std::string_view name, std::uint16_t type,
                     std::uint16_t klass) {
  if (!name.empty() && name.back() == '.') name.remove_suffix(1);
  Bytes out;
  putU16(out, id);
  putU16(out, 0);  // flags: a standard query
  putU16(out, 1);  // one question
  putU16(out, 0);
  putU16(out, 0);
  putU16(out, 0);
  std::size_t nameSize = 1;
  while (!name.empty()) {
    const std::size_t dot = name.find('.');
    const std::string_view label = name.substr(0, dot);
    if (label.empty() || label.size() > kMaxLabel) return {};
    nameSize += label.size() + 1;
    if (nameSize > kDnsMaxNameSize) return {};
    out.push_back(static_cast<std::uint8_t>(label.size()));
    out.insert(out.end(), label.begin(), label.end());
    if (dot == std::string_view::npos) break;
    name.remove_prefix(dot + 1);
    if (name.empty()) return {};  // an empty label before the final dot
  }
  out.push_back(0);
  putU16(out, type);
  putU16(out, klass);
  return out;
}

std::optional<DnsMessage> parseMessage(ByteView datagram, std::string* error) {
  const char* why = nullptr;
  auto failed = [&](const char* reason) -> std::optional<DnsMessage> {
    if (error) *error = reason;
    return std::nullopt;
  };
  Reader reader(datagram);
  DnsMessage message;
  DnsHeader& h = message.header;
  if (!reader.u16(h.id) || !reader.u16(h.flags) || !reader.u16(h.questions) ||
      !reader.u16(h.answers) || !reader.u16(h.authorities) || !reader.u16(h.additionals))
    return failed("header past the end");

  for (std::uint16_t i = 0; i < h.questions; ++i) {
    std::string name;
    ByteView typeAndClass;
    if (!reader.name(name, why)) return failed(why);
    if (!reader.take(4, typeAndClass)) return failed("question past the end");
    message.questions.push_back(std::move(name));
  }

  const std::pair<DnsSection, std::uint16_t> sections[] = {{DnsSection::Answer, h.answers},
                                                           {DnsSection::Authority, h.authorities},
                                                           {DnsSection::Additional, h.additionals}};
  for (const auto& [section, count] : sections) {
    for (std::uint16_t i = 0; i < count; ++i) {
      DnsRecord record;
      if (!readRecord(reader, section, record, why)) return failed(why);
      message.records.push_back(std::move(record));
    }
  }
  return message;
}

}  // namespace kvn_mdns
