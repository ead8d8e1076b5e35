#include "spawned_process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tool_runner.h"

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

TEST(SpawnedProcess, InputLargerThanAPipeReachesTheChildWhileItsOutputIsRead) {
  // More than the pipes hold both ways: feeding and reading must go on
  // together, or parent and child wait for each other for ever.
  std::string input(1 << 20, '\0');
  for (std::size_t i = 0; i < input.size(); ++i) input[i] = char('a' + i % 26);
  kvn_test::SpawnOptions options;
  options.input = input;
  SpawnedProcess process("sh", {"-c", "cat; echo end"}, options);
  ASSERT_TRUE(process.started());
  EXPECT_EQ(process.finish(30s), 0);
  EXPECT_TRUE(process.output() == input + "end\n");

  // A child that never reads its input neither blocks nor breaks the test.
  options.input = std::string(1 << 20, 'x');
  SpawnedProcess deaf("sh", {"-c", "exit 4"}, options);
  EXPECT_EQ(deaf.finish(30s), 4);
}

TEST(SpawnedProcess, ErrorsKeepTheirPlaceInTheOutputOnlyWhenMerged) {
  const std::vector<std::string> script = {"-c", "echo one; echo two >&2; echo three"};
  kvn_test::SpawnOptions merged;
  merged.mergeErrors = true;
  SpawnedProcess together("sh", script, merged);
  EXPECT_EQ(together.finish(10s), 0);
  EXPECT_EQ(together.output(), "one\ntwo\nthree\n");

  SpawnedProcess apart("sh", script);
  EXPECT_EQ(apart.finish(10s), 0);
  EXPECT_EQ(apart.output(), "one\nthree\n");
  EXPECT_EQ(apart.rest(), "two\n");
}

TEST(ToolRunner, GivesTheInputTheExitCodeAndTheTrimmedOutput) {
  // Without input the tool's standard input ends at once: cat returns.
  const kvn_test::ToolRun empty = kvn_test::runTool("cat", {});
  EXPECT_TRUE(empty.ok());
  EXPECT_EQ(empty.output, "");

  const kvn_test::ToolRun counted =
      kvn_test::runTool("sh", {"-c", "wc -l; echo warned >&2; exit 2"}, "a\nb\nc\n");
  EXPECT_EQ(counted.exitCode, 2);
  EXPECT_EQ(counted.output, "3");
  const kvn_test::ToolRun merged =
      kvn_test::runTool("sh", {"-c", "echo out; echo err >&2"}, {}, kvn_test::ToolOutput::Merged);
  EXPECT_EQ(merged.output, "out\nerr");

  const kvn_test::ToolRun missing = kvn_test::runTool("no-such-tool-here", {"x"});
  EXPECT_EQ(missing.exitCode, -1);
  EXPECT_TRUE(missing.output.contains("no-such-tool-here")) << missing.output.toStdString();
}

}  // namespace
