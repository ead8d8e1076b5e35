#include "kvn_mdns/dns_message.h"

#include <gtest/gtest.h>

#include <string>

#include "dns_datagrams.h"

namespace {

using kvn_mdns::Bytes;
using kvn_mdns::DnsSection;
using kvn_mdns::encodeQuestion;
using kvn_mdns::parseMessage;
using kvn_test::dnsName;
using kvn_test::rawMessage;

Bytes fromHex(std::string_view hex) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  return out;
}

// python3-zeroconf's answer to the box question sent from an ephemeral
// port: the id echoed, the PTR as the only answer, TXT, SRV, NSEC and A
// records in the additional section, names compressed.
const Bytes kResponderReply = fromHex(
    "000784000001000100000004065f7a656c766f045f746370056c6f63616c00000c0001c00c000c000100001194"
    "000704626f7831c00cc02f0010000100001194001e0c6c6963656e73653d3432343210686f73746e616d653d62"
    "6f78686f7374c02f00210001000000780010000000001a1807626f78686f7374c018c072002f00010000119400"
    "0ac0720000000400000008c072000100010000007800047f000915");

std::string parseError(const Bytes& datagram) {
  std::string error;
  EXPECT_FALSE(parseMessage(datagram, &error).has_value());
  return error;
}

TEST(DnsQuestion, EncodesTheBoxQuestion) {
  const Bytes expected =
      fromHex("000100000001000000000000065f7a656c766f045f746370056c6f63616c00000c8001");
  EXPECT_EQ(encodeQuestion(1, "_zelvo._tcp.local.", 12, 0x8001), expected);
  EXPECT_EQ(encodeQuestion(1, "_zelvo._tcp.local", 12, 0x8001), expected);

  const auto parsed = parseMessage(encodeQuestion(0xBEEF, "_zelvo._tcp.local.", 12, 0x8001));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->header.id, 0xBEEF);
  EXPECT_EQ(parsed->header.flags, 0);
  EXPECT_EQ(parsed->questions, std::vector<std::string>{"_zelvo._tcp.local."});
  EXPECT_TRUE(parsed->records.empty());
}

TEST(DnsQuestion, RefusesNamesThatCannotBeEncoded) {
  EXPECT_TRUE(encodeQuestion(1, "a..local", 12, 1).empty());
  EXPECT_TRUE(encodeQuestion(1, ".local", 12, 1).empty());
  EXPECT_TRUE(encodeQuestion(1, "box.local..", 12, 1).empty());
  EXPECT_TRUE(encodeQuestion(1, std::string(64, 'x') + ".local", 12, 1).empty());
  EXPECT_FALSE(encodeQuestion(1, std::string(63, 'x') + ".local", 12, 1).empty());
  // 255 bytes with the length bytes and the final zero is the most a name takes.
  const std::string label(63, 'x');
  const std::string longest = label + "." + label + "." + label + "." + std::string(61, 'x');
  EXPECT_EQ(encodeQuestion(1, longest, 12, 1).size(), 12u + 255u + 4u);
  EXPECT_TRUE(encodeQuestion(1, longest + "x", 12, 1).empty());
}

TEST(DnsParse, ReadsAResponderReplyWithCompressedNames) {
  const auto message = parseMessage(kResponderReply);
  ASSERT_TRUE(message);
  EXPECT_EQ(message->header.id, 7);
  EXPECT_EQ(message->questions, std::vector<std::string>{"_zelvo._tcp.local."});
  ASSERT_EQ(message->records.size(), 5u);
  const auto& ptr = message->records[0];
  EXPECT_EQ(ptr.section, DnsSection::Answer);
  EXPECT_EQ(ptr.type, 12);
  EXPECT_EQ(ptr.name, "_zelvo._tcp.local.");
  EXPECT_EQ(message->records[1].type, 16);
  EXPECT_EQ(message->records[1].name, "box1._zelvo._tcp.local.");
  const auto& a = message->records[4];
  EXPECT_EQ(a.section, DnsSection::Additional);
  EXPECT_EQ(a.type, 1);
  EXPECT_EQ(a.name, "boxhost.local.");
  EXPECT_EQ(a.ttl, 120u);
  EXPECT_EQ(Bytes(a.data.begin(), a.data.end()), (Bytes{127, 0, 9, 21}));
}

TEST(DnsParse, RefusesEveryTruncationOfAReply) {
  // Each prefix sits in a buffer of exactly its size, so that a read past
  // its end shows under the address sanitizer.
  for (std::size_t size = 0; size < kResponderReply.size(); ++size) {
    const Bytes prefix(kResponderReply.begin(), kResponderReply.begin() + size);
    EXPECT_FALSE(parseMessage(prefix)) << size;
  }
}

TEST(DnsParse, RefusesMalformedNames) {
  EXPECT_EQ(parseError(rawMessage(1, 0, {5, 'a', 'b'})), "label past the end");
  EXPECT_EQ(parseError(rawMessage(1, 0, {1, 'a'})), "name past the end");
  EXPECT_EQ(parseError(rawMessage(1, 0, {0xC0})), "compression pointer past the end");
  EXPECT_EQ(parseError(rawMessage(1, 0, {0x40, 0})), "unknown label type");
  // A pointer to itself, and a label followed by a pointer back to it.
  EXPECT_EQ(parseError(rawMessage(1, 0, {0xC0, 12, 0, 12, 0, 1})),
            "compression pointer does not lead back");
  EXPECT_EQ(parseError(rawMessage(1, 0, {1, 'a', 0xC0, 12, 0, 12, 0, 1})),
            "compression pointer does not lead back");
  // A forward pointer, even to a well-formed name.
  EXPECT_EQ(parseError(rawMessage(1, 0, {0xC0, 14, 0, 0, 12, 0, 1})),
            "compression pointer does not lead back");
}

TEST(DnsParse, FollowsPointerChainsUpToTheNameLimit) {
  // Question n is a 63-byte label followed by a pointer to question n-1.
  Bytes body;
  std::vector<std::uint16_t> starts;
  for (int i = 0; i < 4; ++i) {
    starts.push_back(static_cast<std::uint16_t>(12 + body.size()));
    body.push_back(63);
    body.insert(body.end(), 63, static_cast<std::uint8_t>('a' + i));
    if (i == 0) {
      body.push_back(0);
    } else {
      body.push_back(static_cast<std::uint8_t>(0xC0 | starts[i - 1] >> 8));
      body.push_back(static_cast<std::uint8_t>(starts[i - 1]));
    }
    body.insert(body.end(), {0, 12, 0, 1});
  }
  const auto three = parseMessage(rawMessage(3, 0, body));
  ASSERT_TRUE(three);
  EXPECT_EQ(three->questions[2],
            std::string(63, 'c') + "." + std::string(63, 'b') + "." + std::string(63, 'a') + ".");
  EXPECT_EQ(parseError(rawMessage(4, 0, body)), "name too long");
}

TEST(DnsParse, RefusesRecordsPastTheEnd) {
  EXPECT_EQ(parseError(Bytes(kResponderReply.begin(), kResponderReply.begin() + 11)),
            "header past the end");
  EXPECT_EQ(parseError(rawMessage(1, 0, {0, 0, 12, 0})), "question past the end");
  EXPECT_EQ(parseError(rawMessage(0, 1, {0, 0, 1, 0, 1})), "record header past the end");
  Bytes longData = kvn_test::dnsRecord(dnsName("box.local"), 1, {1, 2, 3, 4});
  longData.pop_back();
  EXPECT_EQ(parseError(rawMessage(0, 1, longData)), "record data past the end");
  // More records announced than there are.
  EXPECT_EQ(parseError(rawMessage(0, 2, kvn_test::aRecord(1, 2, 3, 4))), "name past the end");
}

}  // namespace
