// The cuts that run with every change: the agent killed in the middle of a
// new file, and after the box stored a changed file but before the agent
// heard of it. The whole matrix, drops included, is in crash_matrix_test.
#include "crash_harness.h"

namespace kvn_crash {
namespace {

class Crash : public CrashHarness {};

TEST_F(Crash, KilledRunsLeaveEverythingWholeAndTheNextRunRecovers) {
  startBox("127.0.24.1");
  startAgent();
  // Killed in the middle of the first version of a large file.
  killBackupAt("full:2");
  expectConsistent();

  // The box stored the delta of a changed file, the agent was killed before
  // the answer: the record still names the older version.
  changeTree(1);
  killBackupAt("answer:0x10020003");
  expectConsistent();

  stopAgent();
}

}  // namespace
}  // namespace kvn_crash
