// The soak's random drops: one connection in n, cut inside the run it
// belongs to whatever its length.
#include <gtest/gtest.h>

#include "boxsim/random_drop.h"

namespace {

using boxsim::RandomDrop;

constexpr std::uint32_t kBackup = 0x10000001;
constexpr std::uint32_t kOperation = 0x20000001;

// Picks for 2,000 new connections; each drop point must lie in
// [1, below). Returns how many were picked for a drop.
int pickedIn(RandomDrop& drop, std::uint32_t kind, int below) {
  int picked = 0;
  for (int i = 0; i < 2000; ++i) {
    const int at = drop.pick(kind);
    if (at < 0) continue;
    ++picked;
    EXPECT_GE(at, 1);
    EXPECT_LT(at, below);
  }
  return picked;
}

TEST(RandomDrop, CutsAboutOneInNAndAlwaysInsideTheLastRunsLength) {
  RandomDrop drop(10, 100000, 7);
  // Before any connection has ended, the bound is the only guess.
  EXPECT_NEAR(pickedIn(drop, kBackup, 100001), 200, 60);
  // Short incremental runs: every drop must land before their last packet,
  // else the run is over before the cut and the drop never happens.
  drop.ended(kBackup, 40);
  EXPECT_NEAR(pickedIn(drop, kBackup, 40), 200, 60);
  // A short conversation of another kind between runs must not narrow the
  // runs' range, nor the runs' length widen its own.
  drop.ended(kOperation, 5);
  EXPECT_NEAR(pickedIn(drop, kBackup, 40), 200, 60);
  EXPECT_NEAR(pickedIn(drop, kOperation, 5), 200, 60);
  drop.ended(kBackup, 400);
  EXPECT_NEAR(pickedIn(drop, kOperation, 5), 200, 60);
}

TEST(RandomDrop, TheBoundCapsWhatWasLearnedAndEmptyConnectionsTeachNothing) {
  RandomDrop always(1, 50, 3);
  always.ended(kBackup, 1000);
  always.ended(kBackup, 0);  // a connection that never got past the negotiation
  EXPECT_EQ(pickedIn(always, kBackup, 50), 2000);
  always.ended(kBackup, 1);
  EXPECT_EQ(always.pick(kBackup), 1) << "a run of one packet can only be cut after it";
}

}  // namespace
