#include "kvn_mdns/box_reply.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "kvn_log/log.h"
#include "kvn_network/mdns_protocol.h"

namespace kvn_mdns {

namespace {

constexpr std::size_t kMaxTextStrings = 128;

void appendJoined(std::string& list, std::string_view item) {
  if (!list.empty()) list.push_back(':');
  list.append(item);
}

// A key is printable ASCII and not empty; a string without '=' is all key.
bool splitKeyValue(std::string_view text, std::string_view& key, std::string_view& value) {
  const std::size_t equals = text.find('=');
  key = text.substr(0, equals);
  value = equals == std::string_view::npos ? std::string_view() : text.substr(equals + 1);
  if (key.empty()) return false;
  return std::all_of(key.begin(), key.end(), [](char c) { return c >= ' ' && c <= '~'; });
}

}  // namespace

void BoxReply::addRecord(const DnsRecord& record) {
  switch (record.type) {
    case kvn_network::kDnsTypeA: addAddress(record.data); break;
    case kvn_network::kDnsTypeTxt: readText(record.data); break;
    default: break;
  }
}

void BoxReply::addAddress(ByteView data) {
  if (data.size() != 4) return;
  char dotted[16];
  std::snprintf(dotted, sizeof dotted, "%u.%u.%u.%u", data[0], data[1], data[2], data[3]);
  appendJoined(box_.addresses, dotted);
}

void BoxReply::readText(ByteView data) {
  // The strings are checked first, so that a record whose last string runs
  // past its end changes nothing.
  std::vector<std::string_view> strings;
  std::size_t pos = 0;
  while (pos < data.size() && strings.size() < kMaxTextStrings) {
    const std::size_t length = data[pos++];
    if (length > data.size() - pos) {
      KLOG_T("Ignoring mDNS TXT record: string past its end");
      return;
    }
    strings.emplace_back(reinterpret_cast<const char*>(data.data() + pos), length);
    pos += length;
  }
  for (std::string_view text : strings) {
    std::string_view key;
    std::string_view value;
    if (!splitKeyValue(text, key, value)) continue;
    if (key == kvn_network::kMdnsTxtLicense)
      box_.license = value;
    else if (key == kvn_network::kMdnsTxtHostname)
      box_.hostname = value;
  }
}

bool isReplyTo(const DnsHeader& header, std::uint16_t questionId) {
  return (header.id == questionId || header.id == 0) && header.questions <= 1;
}

std::optional<FoundBox> readBoxReply(ByteView datagram, std::uint16_t questionId) {
  std::string error;
  const std::optional<DnsMessage> message = parseMessage(datagram, &error);
  if (!message) {
    KLOG_T("Ignoring mDNS datagram of %zu bytes: %s", datagram.size(), error.c_str());
    return std::nullopt;
  }
  if (!isReplyTo(message->header, questionId)) {
    KLOG_T("Ignoring mDNS datagram with id %u and %u questions", message->header.id,
           message->header.questions);
    return std::nullopt;
  }
  BoxReply reply;
  for (const DnsRecord& record : message->records) {
    if (record.section != DnsSection::Authority) reply.addRecord(record);
  }
  if (!reply.complete()) return std::nullopt;
  return reply.box();
}

void mergeFoundBox(std::vector<FoundBox>& boxes, const FoundBox& box) {
  const auto known = std::find_if(boxes.begin(), boxes.end(),
                                  [&](const FoundBox& b) { return b.license == box.license; });
  if (known == boxes.end())
    boxes.push_back(box);
  else
    appendJoined(known->addresses, box.addresses);
}

}  // namespace kvn_mdns
