// The points at which the simulated box holds or drops a conversation.
#include <gtest/gtest.h>

#include <thread>

#include "boxsim/phase_trap.h"

namespace {

using boxsim::PhaseTrap;
using boxsim::TrapPoint;
using Kind = TrapPoint::Kind;

TEST(TrapPoint, TextsNameTheirEventsAndBadOnesSayWhy) {
  const auto prep = TrapPoint::parse("PREP", nullptr);
  ASSERT_TRUE(prep);
  EXPECT_EQ(prep->kind, Kind::Action);
  EXPECT_EQ(prep->ordinal, 1);
  const auto info = TrapPoint::parse("INFO:2", nullptr);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->ordinal, 2);
  const auto answer = TrapPoint::parse("answer:0x10020003", nullptr);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->kind, Kind::Answer);
  EXPECT_EQ(answer->type, 0x10020003u);
  const auto delta = TrapPoint::parse("delta:3", nullptr);
  ASSERT_TRUE(delta);
  EXPECT_EQ(delta->kind, Kind::Chunk);
  EXPECT_EQ(delta->type, 12u);

  for (const char* bad : {"prep", "packet", "packet:xyz", "full:0", "full:-1", "END:1:2", ""}) {
    QString error;
    EXPECT_FALSE(TrapPoint::parse(bad, &error)) << bad;
    EXPECT_FALSE(error.isEmpty()) << bad;
  }
}

TEST(PhaseTrap, MatchesItsOwnEventOnlyAndFiresOnce) {
  PhaseTrap trap(PhaseTrap::Action::Hold, *TrapPoint::parse("full:2", nullptr));
  EXPECT_FALSE(trap.matches(Kind::Chunk, 10, {}, 1));
  EXPECT_FALSE(trap.matches(Kind::Chunk, 12, {}, 2)) << "a delta chunk is not a full one";
  EXPECT_TRUE(trap.matches(Kind::Chunk, 10, {}, 2));
  PhaseTrap stored(PhaseTrap::Action::Drop, *TrapPoint::parse("stored", nullptr));
  EXPECT_TRUE(stored.matches(Kind::Answer, 0, "stored", 1));
  EXPECT_FALSE(stored.matches(Kind::Answer, 0x10000108, {}, 1)) << "any answer of the type";

  EXPECT_FALSE(trap.fired());
  EXPECT_TRUE(trap.take());
  EXPECT_FALSE(trap.take()) << "a second connection must run normally";
  EXPECT_FALSE(trap.waitHeld(std::chrono::milliseconds(10)));
  std::thread holder([&trap] { trap.markHeld(); });
  EXPECT_TRUE(trap.waitHeld(std::chrono::seconds(10)));
  holder.join();
}

}  // namespace
