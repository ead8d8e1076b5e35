#include "spawned_process.h"

#include <gtest/gtest.h>

#include <chrono>

namespace {

using kvn_test::SpawnedProcess;
using namespace std::chrono_literals;

TEST(SpawnedProcess, LinesArriveWholeAcrossPiecesAndTheExitCodeComesBack) {
  // The second line comes in two writes with a pause between them.
  SpawnedProcess process(
      "sh",
      {"-c", "echo first; printf 'sec'; sleep 0.2; printf 'ond\\r\\n'; echo oops >&2; exit 3"});
  ASSERT_TRUE(process.started());
  EXPECT_EQ(process.readLine(10s), "first");
  EXPECT_EQ(process.readLine(10s), "second");
  EXPECT_EQ(process.finish(10s), 3);
  EXPECT_EQ(process.readLine(100ms), "");
  EXPECT_EQ(process.rest(), "oops\n");
}

TEST(SpawnedProcess, AChildStillRunningIsNotAnExitAndIsKilledAtTheEnd) {
  const auto start = std::chrono::steady_clock::now();
  {
    SpawnedProcess process("sleep", {"30"});
    ASSERT_TRUE(process.started());
    EXPECT_EQ(process.readLine(100ms), "");
    EXPECT_EQ(process.finish(100ms), -1);
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
}

TEST(SpawnedProcess, RunProgramGivesTheExitCodeOrMinusOne) {
  EXPECT_EQ(kvn_test::runProgram("true", {}), 0);
  EXPECT_EQ(kvn_test::runProgram("sh", {"-c", "exit 7"}), 7);
  EXPECT_EQ(kvn_test::runProgram("sh", {"-c", "kill -9 $$"}), -1);
  EXPECT_EQ(kvn_test::runProgram("no-such-program-here", {}), -1);
}

}  // namespace
