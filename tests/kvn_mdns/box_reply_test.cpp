#include "kvn_mdns/box_reply.h"

#include <gtest/gtest.h>

#include "dns_datagrams.h"

namespace {

using kvn_mdns::FoundBox;
using kvn_mdns::readBoxReply;
using kvn_test::aRecord;
using kvn_test::ptrRecord;
using kvn_test::Reply;
using kvn_test::txtRecord;

constexpr std::uint16_t kQuestionId = 1;

std::optional<FoundBox> boxOf(const Reply& reply) {
  return readBoxReply(reply.bytes(), kQuestionId);
}

// The license and hostname a single TXT record gives, with an address.
FoundBox textOf(std::initializer_list<std::string> strings) {
  const auto box = boxOf(Reply().answers({aRecord(10, 0, 0, 1), txtRecord(strings)}));
  return box.value_or(FoundBox{});
}

TEST(BoxReply, ReadsAnswerAndAdditionalSections) {
  const FoundBox expected{"10.0.0.7", "4242", "boxhost"};
  EXPECT_EQ(boxOf(Reply().answers(
                {txtRecord({"license=4242", "hostname=boxhost"}), aRecord(10, 0, 0, 7)})),
            expected);
  // As responders send it: the PTR answers, the rest is additional.
  EXPECT_EQ(boxOf(Reply()
                      .answers({ptrRecord()})
                      .additionals(
                          {txtRecord({"license=4242", "hostname=boxhost"}), aRecord(10, 0, 0, 7)})),
            expected);
  // Several addresses in one reply are joined.
  EXPECT_EQ(boxOf(Reply()
                      .answers({aRecord(10, 0, 0, 7), aRecord(192, 168, 1, 2)})
                      .additionals({txtRecord({"license=4242"})}))
                ->addresses,
            "10.0.0.7:192.168.1.2");
}

TEST(BoxReply, AcceptsOnlyRepliesToTheQuestion) {
  const std::vector<kvn_mdns::Bytes> records = {txtRecord({"license=1"}), aRecord(10, 0, 0, 1)};
  EXPECT_TRUE(boxOf(Reply().id(kQuestionId).answers(records)));
  // Multicast answers carry id 0.
  EXPECT_TRUE(boxOf(Reply().id(0).questions(0).answers(records)));
  EXPECT_FALSE(boxOf(Reply().id(2).answers(records)));
  EXPECT_FALSE(boxOf(Reply().id(0xFFFF).questions(0).answers(records)));

  EXPECT_FALSE(boxOf(Reply().questions(2).answers(records)));
  // A malformed datagram names no box, whatever came before the fault.
  kvn_mdns::Bytes truncated = Reply().answers(records).bytes();
  truncated.pop_back();
  EXPECT_FALSE(readBoxReply(truncated, kQuestionId));
}

TEST(BoxReply, NeedsAnAddressAndALicence) {
  EXPECT_FALSE(boxOf(Reply().answers({aRecord(10, 0, 0, 1)})));
  EXPECT_FALSE(boxOf(Reply().answers({aRecord(10, 0, 0, 1), txtRecord({"hostname=box"})})));
  EXPECT_FALSE(boxOf(Reply().answers({txtRecord({"license=1", "hostname=box"})})));
  EXPECT_FALSE(boxOf(Reply().answers({aRecord(10, 0, 0, 1), txtRecord({"license="})})));
  // An A record must hold exactly four bytes.
  EXPECT_FALSE(
      boxOf(Reply().answers({kvn_test::dnsRecord(kvn_test::dnsName("b.local"), 1, {10, 0, 0, 1, 0}),
                             txtRecord({"license=1"})})));
  // The authority section says nothing about the box.
  kvn_mdns::Bytes inAuthority = Reply().answers({txtRecord({"license=1"})}).bytes();
  const kvn_mdns::Bytes a = aRecord(10, 0, 0, 1);
  inAuthority.insert(inAuthority.end(), a.begin(), a.end());
  inAuthority[9] = 1;
  EXPECT_FALSE(readBoxReply(inAuthority, kQuestionId));
}

TEST(BoxReply, ReadsTextStrings) {
  EXPECT_EQ(textOf({"license=7", "hostname=a=b"}).hostname, "a=b");
  EXPECT_EQ(textOf({"license=1", "license=2"}).license, "2");
  EXPECT_EQ(textOf({"license=\xC3\xA9t\xC3\xA9"}).license, "\xC3\xA9t\xC3\xA9");
  // Keys with a character outside ' '..'~', and strings starting with '=',
  // are skipped; the value may hold anything.
  EXPECT_EQ(
      textOf({"license=7", "licen\x01se=8", "=license=9", std::string("lic\0", 4) + "=3"}).license,
      "7");
  EXPECT_EQ(textOf({"license=7", "license\x7F=8"}).license, "7");
  // A key alone is an empty value.
  EXPECT_EQ(textOf({"license=7", "license"}).license, "");
  EXPECT_EQ(textOf({"", "license=7", "License=8"}).license, "7");

  // Only the first 128 strings count.
  std::vector<std::string> many(127, "x=y");
  many.push_back("license=128th");
  many.push_back("license=129th");
  kvn_mdns::Bytes data;
  for (const std::string& s : many) {
    data.push_back(static_cast<std::uint8_t>(s.size()));
    data.insert(data.end(), s.begin(), s.end());
  }
  const auto manyBox = boxOf(Reply().answers(
      {aRecord(10, 0, 0, 1), kvn_test::dnsRecord(kvn_test::dnsName("b.local"), 16, data)}));
  ASSERT_TRUE(manyBox);
  EXPECT_EQ(manyBox->license, "128th");

  // A string running past its record leaves the whole record unread.
  kvn_mdns::Bytes overrun = {9, 'l', 'i', 'c', 'e', 'n', 's', 'e', '=', '1', 5, 'x'};
  EXPECT_FALSE(boxOf(Reply().answers(
      {aRecord(10, 0, 0, 1), kvn_test::dnsRecord(kvn_test::dnsName("b.local"), 16, overrun)})));
}

TEST(FoundBoxes, MergeAddressesPerLicence) {
  std::vector<FoundBox> boxes;
  kvn_mdns::mergeFoundBox(boxes, {"10.0.0.1", "1", "one"});
  kvn_mdns::mergeFoundBox(boxes, {"10.0.0.2", "2", "two"});
  kvn_mdns::mergeFoundBox(boxes, {"10.0.1.1:10.0.1.2", "1", "renamed"});
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_EQ(boxes[0], (FoundBox{"10.0.0.1:10.0.1.1:10.0.1.2", "1", "one"}));
  EXPECT_EQ(boxes[1], (FoundBox{"10.0.0.2", "2", "two"}));
}

}  // namespace
