// The Tessel frame reader against the receive rules: limits, the payload
// flag and its pairing, and bytes arriving in any chunking.
#include <gtest/gtest.h>

#include <QJsonObject>
#include <vector>

#include "kvn_network/tessel_frame.h"

namespace {

using namespace kvn_network::tessel;
using Status = TesselFrameReader::Status;

std::vector<TesselMessage> drain(TesselFrameReader& reader) {
  std::vector<TesselMessage> out;
  TesselMessage m;
  while (reader.next(m) == Status::Message) out.push_back(m);
  return out;
}

TEST(TesselFrame, HeaderIsBigEndianWithTheFlagInBit29) {
  EXPECT_EQ(encodeHeader(0x01020304), QByteArray("\x01\x02\x03\x04", 4));
  EXPECT_EQ(encodeFrame("ab", true), QByteArray("\x20\x00\x00\x02"
                                                "ab",
                                                6));
  EXPECT_EQ(decodeHeader("\x20\x00\x00\x02"), 0x20000002u);
  EXPECT_TRUE(hasPayloadFlag(0x20000002));
  EXPECT_EQ(bodyLength(0x20000002), 2u);
  // Bits 30 and 31 are part of the length.
  EXPECT_EQ(bodyLength(0xE0000001), 0xC0000001u);
}

TEST(TesselFrame, LengthLimitIsInclusiveAndNothingLargerIsAccepted) {
  {
    TesselFrameReader reader;
    const QByteArray body(kMaxFrameBody, 'x');
    EXPECT_TRUE(reader.feed(encodeFrame(body)));
    const auto messages = drain(reader);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].json.size(), qsizetype(kMaxFrameBody));
  }
  for (const std::uint32_t header :
       {kMaxFrameBody + 1, 0x40000000u, 0x80000000u, 0x40000000u | kPayloadFlag, 0xFFFFFFFFu}) {
    TesselFrameReader reader;
    EXPECT_FALSE(reader.feed(encodeHeader(header))) << std::hex << header;
    EXPECT_EQ(reader.error(), FrameError::TooLong);
    EXPECT_STREQ(reader.errorText(), "Tessel protocol error");
    TesselMessage m;
    EXPECT_EQ(reader.next(m), Status::Failed);
    // A dead reader takes nothing more.
    EXPECT_FALSE(reader.feed(encodeFrame("{}")));
    EXPECT_EQ(reader.next(m), Status::Failed);
  }
}

TEST(TesselFrame, PayloadComesWithItsJsonAndOnlyWhenComplete) {
  TesselFrameReader reader;
  const QByteArray payload(kMaxFrameBody, '\x7f');
  const QByteArray frames = encodeMessage("task", {{"task_id", 3}}, &payload);
  // Everything but the payload's last byte: nothing is handed out yet.
  ASSERT_TRUE(reader.feed(frames.left(frames.size() - 1)));
  TesselMessage m;
  EXPECT_EQ(reader.next(m), Status::NeedMore);
  EXPECT_FALSE(reader.idle());
  ASSERT_TRUE(reader.feed(frames.right(1)));
  ASSERT_EQ(reader.next(m), Status::Message);
  EXPECT_TRUE(m.hasPayload);
  EXPECT_EQ(m.payload, payload);
  const auto object = parseMessage(m.json);
  ASSERT_TRUE(object);
  EXPECT_EQ(object->value("type").toString(), "task");
  EXPECT_EQ(object->value("task_id").toInt(), 3);
  EXPECT_TRUE(reader.idle());
}

TEST(TesselFrame, TwoFlaggedHeadersInARowEndTheReaderAfterEarlierMessages) {
  TesselFrameReader reader;
  const QByteArray stream = encodeFrame(R"({"type":"ping"})") +
                            encodeFrame(R"({"type":"task"})", true) + encodeFrame("x", true);
  EXPECT_FALSE(reader.feed(stream));
  TesselMessage m;
  ASSERT_EQ(reader.next(m), Status::Message);
  EXPECT_EQ(m.json, R"({"type":"ping"})");
  EXPECT_EQ(reader.next(m), Status::Failed);
  EXPECT_EQ(reader.error(), FrameError::TwoPayloads);
  EXPECT_STREQ(reader.errorText(), "Tessel protocol error: two payloads in a row");
}

TEST(TesselFrame, ByteByByteFeedingGivesTheSameMessages) {
  const QByteArray payload("\x00\x01\x02", 3);
  const QByteArray empty;
  const QByteArray stream = encodeMessage("ping") + encodeMessage("task", {}, &payload) +
                            encodeMessage("task", {}, &empty) + encodeFrame({});
  TesselFrameReader whole;
  ASSERT_TRUE(whole.feed(stream));
  const auto expected = drain(whole);
  ASSERT_EQ(expected.size(), 4u);

  TesselFrameReader reader;
  std::vector<TesselMessage> got;
  for (char c : stream) {
    ASSERT_TRUE(reader.feed(&c, 1));
    const auto more = drain(reader);
    got.insert(got.end(), more.begin(), more.end());
  }
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t i = 0; i < got.size(); ++i) {
    EXPECT_EQ(got[i].json, expected[i].json) << i;
    EXPECT_EQ(got[i].payload, expected[i].payload) << i;
    EXPECT_EQ(got[i].hasPayload, expected[i].hasPayload) << i;
  }
  EXPECT_EQ(got[1].payload, payload);
  EXPECT_TRUE(got[2].hasPayload);
  EXPECT_TRUE(got[2].payload.isEmpty());
  // A zero-length frame is a message with an empty body; the JSON check refuses it.
  EXPECT_TRUE(got[3].json.isEmpty());
  EXPECT_FALSE(parseMessage(got[3].json));
}

TEST(TesselFrame, OnlyNonEmptyJsonObjectsAreMessages) {
  EXPECT_FALSE(parseMessage("{}"));
  EXPECT_FALSE(parseMessage("[1]"));
  EXPECT_FALSE(parseMessage("{\"type\":"));
  EXPECT_FALSE(parseMessage("\xff"));
  EXPECT_TRUE(parseMessage(messageBody("ping")));
  EXPECT_EQ(messageBody("log", {{"line", 5}}), R"({"line":5,"type":"log"})");
}

}  // namespace
