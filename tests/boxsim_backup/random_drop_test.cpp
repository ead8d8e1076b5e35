// The soak's random drops: one connection in n, cut inside the run it
// belongs to whatever its length.
#include <gtest/gtest.h>

#include "boxsim/random_drop.h"

namespace {

using boxsim::RandomDrop;

TEST(RandomDrop, CutsAboutOneInNAndAlwaysInsideTheLastRunsLength) {
  RandomDrop drop(10, 100000, 7);
  // Before any connection has ended, the bound is the only guess.
  int picked = 0;
  for (int i = 0; i < 2000; ++i) {
    const int at = drop.pick();
    if (at < 0) continue;
    ++picked;
    EXPECT_GE(at, 1);
    EXPECT_LE(at, 100000);
  }
  EXPECT_NEAR(picked, 200, 60);

  // Short incremental runs: every drop must land before their last packet,
  // else the run is over before the cut and the drop never happens.
  drop.ended(40);
  picked = 0;
  for (int i = 0; i < 2000; ++i) {
    const int at = drop.pick();
    if (at < 0) continue;
    ++picked;
    EXPECT_GE(at, 1);
    EXPECT_LT(at, 40);
  }
  EXPECT_NEAR(picked, 200, 60);
}

TEST(RandomDrop, TheBoundCapsWhatWasLearnedAndEmptyConnectionsTeachNothing) {
  RandomDrop always(1, 50, 3);
  always.ended(1000);
  always.ended(0);  // a connection that never got past the negotiation
  for (int i = 0; i < 200; ++i) {
    const int at = always.pick();
    EXPECT_GE(at, 1);
    EXPECT_LT(at, 50);
  }
  always.ended(1);
  EXPECT_EQ(always.pick(), 1) << "a run of one packet can only be cut after it";
}

}  // namespace
