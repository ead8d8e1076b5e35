// Names Linux allows but the box's own platform does not come back from a
// restoration with their original bytes, contents and times, after a
// backup and a second backup of edits as deltas.
#include <string>

#include "byte_tree.h"
#include "file_operations_fixture.h"
#include "kvn_platform/text_path_qt.h"
#include "odd_names.h"

namespace kvn_e2e {
namespace {

constexpr std::int64_t kFirst = 1650000000;
constexpr std::int64_t kSecond = 1650500000;

using OddNamesRestore = FileOperationsE2E;

TEST_F(OddNamesRestore, TheRestoredTreeHasTheSameRawNamesContentsAndTimes) {
  startBoxAt("127.0.6.21");
  addJob(1, {tree()}, dataSettings(true, true));
  const std::string root = kvn_platform::toNativePath(tree());
  std::int64_t when = kFirst;
  for (const auto& name : kvn_test::oddNames()) {
    const std::string failure =
        kvn_test::writeByteFile(root, name, "first " + name + std::string(2000, 'q'), when++);
    ASSERT_TRUE(failure.empty()) << failure;
  }
  ASSERT_EQ(runBackup(1).result, 0u);
  for (const auto& name : {kvn_test::kLatin1Name, kvn_test::kBarFolderFile,
                           kvn_test::kRealEscapeCharacterName, kvn_test::longOddPath()}) {
    const std::string failure =
        kvn_test::writeByteFile(root, name, "second " + name + std::string(2000, 'q'), when++);
    ASSERT_TRUE(failure.empty()) << failure;
  }
  const RunOutcome second = runBackup(1);
  ASSERT_EQ(second.result, 0u);
  ASSERT_EQ(second.verify.failed, 0) << second.verify.mismatches.join("\n").toStdString();

  const QString target = scratch("restored");
  restore("odd-names", plan(1), target);
  const kvn_test::ByteTree original = kvn_test::readByteTree(root);
  const kvn_test::ByteTree restored =
      kvn_test::readByteTree(kvn_platform::toNativePath(target) + root);
  ASSERT_EQ(restored.size(), original.size());
  for (const auto& [name, entry] : original) {
    const auto found = restored.find(name);
    ASSERT_NE(found, restored.end()) << "not restored: " << kvn_test::printableName(name);
    EXPECT_EQ(found->second.folder, entry.folder) << kvn_test::printableName(name);
    EXPECT_EQ(found->second.content, entry.content) << kvn_test::printableName(name);
    if (!entry.folder) {
      EXPECT_EQ(found->second.lastWrite, entry.lastWrite) << kvn_test::printableName(name);
    }
  }
}

}  // namespace
}  // namespace kvn_e2e
