// Tests that need a private namespace run themselves again inside one: the
// outer copy starts `wrapper... <this binary> --gtest_filter=<this test>`
// with a marker variable set, and reports how the inner copy ended.
#pragma once

#include <gtest/gtest.h>

#include <QFile>
#include <QString>
#include <QStringList>

#include "process_runner.h"

namespace kvn_test {

enum class RerunOutcome { Inside, Passed, Skipped, Failed };

// Inside when variable is set (this is the inner copy); otherwise runs the
// inner copy and returns its outcome, with its output in *output. A wrapper
// that cannot create the namespace ("unshare: ...") counts as skipped.
inline RerunOutcome rerunCurrentTest(const QStringList& wrapper, const char* variable,
                                     QString* output) {
  if (qEnvironmentVariableIsSet(variable)) return RerunOutcome::Inside;
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  ProcessRunner runner(wrapper.front());
  runner.setEnv(variable, "1");
  const auto result = runner.run(
      wrapper.mid(1) << QFile::symLinkTarget("/proc/self/exe")
                     << QString("--gtest_filter=%1.%2").arg(test->test_suite_name(), test->name()),
      std::chrono::minutes(2));
  *output = result.standardOutput + result.standardError;
  if (output->contains("[  SKIPPED ]")) return RerunOutcome::Skipped;
  if (!result.crashed && !result.timedOut && result.exitCode == 0 &&
      output->contains("[  PASSED  ] 1 test")) {
    return RerunOutcome::Passed;
  }
  if (output->contains("unshare failed") || output->contains("unshare: ")) {
    return RerunOutcome::Skipped;
  }
  return RerunOutcome::Failed;
}

}  // namespace kvn_test
