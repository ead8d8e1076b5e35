// Mounting needs a private mount namespace: the test runs itself again
// under `unshare -m`, and the copy inside does the mounts. Where that is
// refused the test is skipped.
#pragma once

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <QFile>
#include <QString>

#include "process_runner.h"

namespace kvn_test {

enum class MountNamespace { Inside, Passed, Skipped, Failed };

inline constexpr const char* kMountNamespaceVariable = "KVN_TEST_IN_MOUNT_NAMESPACE";

inline MountNamespace enterMountNamespace(QString* output) {
  if (qEnvironmentVariableIsSet(kMountNamespaceVariable)) {
    // Keep our mounts from leaking back into the machine's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
      *output = "cannot make / private";
      return MountNamespace::Skipped;
    }
    return MountNamespace::Inside;
  }
  const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
  ProcessRunner runner("unshare");
  runner.setEnv(kMountNamespaceVariable, "1");
  const auto result =
      runner.run({"-m", QFile::symLinkTarget("/proc/self/exe"),
                  QString("--gtest_filter=%1.%2").arg(test->test_suite_name(), test->name())},
                 std::chrono::minutes(2));
  *output = result.standardOutput + result.standardError;
  if (output->contains("[  SKIPPED ]")) return MountNamespace::Skipped;
  if (!result.crashed && !result.timedOut && result.exitCode == 0 &&
      output->contains("[  PASSED  ] 1 test")) {
    return MountNamespace::Passed;
  }
  // unshare itself refused (no privilege for a new namespace).
  if (output->contains("unshare failed") || output->contains("unshare: ")) {
    return MountNamespace::Skipped;
  }
  return MountNamespace::Failed;
}

}  // namespace kvn_test

// Put first in a test that mounts: outside the namespace it runs the test
// inside one and reports its outcome; inside it lets the test go on.
#define KVN_IN_MOUNT_NAMESPACE()                                                        \
  do {                                                                                  \
    QString namespaceOutput;                                                            \
    switch (::kvn_test::enterMountNamespace(&namespaceOutput)) {                        \
      case ::kvn_test::MountNamespace::Inside: break;                                   \
      case ::kvn_test::MountNamespace::Passed: return;                                  \
      case ::kvn_test::MountNamespace::Skipped:                                         \
        GTEST_SKIP() << "cannot mount here: " << namespaceOutput.toStdString();         \
      case ::kvn_test::MountNamespace::Failed: FAIL() << namespaceOutput.toStdString(); \
    }                                                                                   \
  } while (0)

// Inside the namespace: a mount that is refused skips the test.
#define KVN_MOUNT_OR_SKIP(source, target, type, flags)              \
  do {                                                              \
    if (::mount((source), (target), (type), (flags), nullptr) != 0) \
      GTEST_SKIP() << "mount refused: " << (target);                \
  } while (0)
