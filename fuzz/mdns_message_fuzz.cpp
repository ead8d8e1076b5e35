// Datagrams as they might arrive on the box finder's socket: the DNS
// reader and the box-reply reading behind it must refuse anything
// malformed without reading past the input. The input is also tried as a
// name for the question encoder, whose output must read back as that name.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "kvn_mdns/box_reply.h"
#include "kvn_mdns/dns_message.h"

namespace {

void checkRecordsLieInside(const kvn_mdns::DnsMessage& message, const std::uint8_t* data,
                           std::size_t size) {
  for (const kvn_mdns::DnsRecord& record : message.records) {
    if (record.data.data() < data || record.data.data() + record.data.size() > data + size)
      std::abort();
    if (record.name.size() > kvn_mdns::kDnsMaxNameSize) std::abort();
  }
}

void checkQuestionRoundTrip(const std::uint8_t* data, std::size_t size) {
  std::string name(reinterpret_cast<const char*>(data), size);
  const kvn_mdns::Bytes question = kvn_mdns::encodeQuestion(7, name, 12, 0x8001);
  if (question.empty()) return;
  const auto parsed = kvn_mdns::parseMessage(question);
  if (!name.empty() && name.back() == '.') name.pop_back();
  if (!parsed || parsed->questions.size() != 1 || parsed->questions[0] != name + ".") std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kvn_fuzz::quietLog();
  const kvn_mdns::ByteView datagram(data, size);
  if (const auto message = kvn_mdns::parseMessage(datagram))
    checkRecordsLieInside(*message, data, size);
  // With the datagram's own id, so that replies get as far as the records.
  const std::uint16_t id = size >= 2 ? static_cast<std::uint16_t>(data[0] << 8 | data[1]) : 0;
  if (const auto box = kvn_mdns::readBoxReply(datagram, id)) {
    if (box->addresses.empty() || box->license.empty()) std::abort();
  }
  if (size <= 300) checkQuestionRoundTrip(data, size);
  return 0;
}
