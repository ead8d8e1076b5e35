// Mounting needs a private mount namespace: the test runs itself again
// under `unshare -m`, and the copy inside does the mounts. Where that is
// refused the test is skipped.
#pragma once

#include <gtest/gtest.h>
#include <sys/mount.h>

#include <QString>

#include "rerun_test.h"

namespace kvn_test {

inline constexpr const char* kMountNamespaceVariable = "KVN_TEST_IN_MOUNT_NAMESPACE";

inline RerunOutcome enterMountNamespace(QString* output) {
  const RerunOutcome outcome = rerunCurrentTest({"unshare", "-m"}, kMountNamespaceVariable, output);
  // Keep our mounts from leaking back into the machine's namespace.
  if (outcome == RerunOutcome::Inside &&
      ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    *output = "cannot make / private";
    return RerunOutcome::Skipped;
  }
  return outcome;
}

}  // namespace kvn_test

// Put first in a test that mounts: outside the namespace it runs the test
// inside one and reports its outcome; inside it lets the test go on.
#define KVN_IN_MOUNT_NAMESPACE()                                                      \
  do {                                                                                \
    QString namespaceOutput;                                                          \
    switch (::kvn_test::enterMountNamespace(&namespaceOutput)) {                      \
      case ::kvn_test::RerunOutcome::Inside: break;                                   \
      case ::kvn_test::RerunOutcome::Passed: return;                                  \
      case ::kvn_test::RerunOutcome::Skipped:                                         \
        GTEST_SKIP() << "cannot mount here: " << namespaceOutput.toStdString();       \
      case ::kvn_test::RerunOutcome::Failed: FAIL() << namespaceOutput.toStdString(); \
    }                                                                                 \
  } while (0)

// Inside the namespace: a mount that is refused skips the test.
#define KVN_MOUNT_OR_SKIP(source, target, type, flags)              \
  do {                                                              \
    if (::mount((source), (target), (type), (flags), nullptr) != 0) \
      GTEST_SKIP() << "mount refused: " << (target);                \
  } while (0)
