// What a box's answer to the finder's question says: its addresses, licence
// and host name, read from the A and TXT records of one datagram.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "kvn_mdns/dns_message.h"

namespace kvn_mdns {

struct FoundBox {
  // Dotted IPv4 addresses joined with ':'.
  std::string addresses;
  std::string license;
  std::string hostname;

  bool operator==(const FoundBox&) const = default;
};

// The record handler of one reply. A records add their address; TXT
// records set the licence and host name from their "license" and "hostname"
// strings. Other records are ignored.
class BoxReply {
 public:
  void addRecord(const DnsRecord& record);
  // A reply names a box only with both an address and a licence.
  bool complete() const { return !box_.addresses.empty() && !box_.license.empty(); }
  const FoundBox& box() const { return box_; }

 private:
  void addAddress(ByteView data);
  void readText(ByteView data);

  FoundBox box_;
};

// A reply belongs to the question when it carries the question's id, or 0,
// which responders use for multicast answers, and at most one question.
bool isReplyTo(const DnsHeader& header, std::uint16_t questionId);

// The box that datagram names, when it is a readable reply to the question
// with questionId; the records of the answer and additional sections are
// read, since responders carry A and TXT records in the latter.
std::optional<FoundBox> readBoxReply(ByteView datagram, std::uint16_t questionId);

// Adds box to boxes, or, when a box with its licence is there already,
// appends its addresses to that box's.
void mergeFoundBox(std::vector<FoundBox>& boxes, const FoundBox& box);

}  // namespace kvn_mdns
