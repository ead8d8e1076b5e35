// Every name Linux allows is backed up under a name the box can carry and
// show, verified under its original bytes, sent again as deltas, and seen
// by the exclusion patterns as the box shows it: "|" (the wire's
// separator), bytes that are not UTF-8, characters the mapping itself uses,
// characters Windows forbids, the longest name and a long path.
#include <QString>
#include <QStringList>
#include <set>
#include <string>
#include <vector>

#include "backup_e2e_fixture.h"
#include "byte_tree.h"
#include "kvn_network/wire_path.h"
#include "kvn_platform/text_path_qt.h"
#include "odd_names.h"

namespace kvn_e2e {
namespace {

constexpr std::int64_t kFirstWrite = 1710000000;
constexpr std::int64_t kSecondWrite = 1710500000;

using kvn_test::kBarFolder;
using kvn_test::kBarFolderFile;
using kvn_test::kBarName;
using kvn_test::kLatin1Name;
using kvn_test::kRealEscapeCharacterName;
using kvn_test::kRealMappedBarName;
using kvn_test::longOddPath;
using kvn_test::oddNames;

class OddNames : public BackupE2E {
 protected:
  std::string root() const { return kvn_platform::toNativePath(tree()); }
  // The path the agent and the box know a file by.
  QString textPath(const std::string& relative) const {
    return kvn_platform::toTextPath(root() + "/" + relative);
  }
  void write(const std::string& relative, const std::string& content, std::int64_t lastWrite) {
    const std::string failure = kvn_test::writeByteFile(root(), relative, content, lastWrite);
    ASSERT_TRUE(failure.empty()) << failure;
  }
  static std::string mismatches(const RunOutcome& run) {
    return run.verify.mismatches.join("\n").toStdString();
  }
};

TEST_F(OddNames, EveryNameIsBackedUpVerifiedAndSentAgainAsDeltas) {
  constexpr std::int64_t kJob = 31;
  startBoxAt("127.0.6.11");
  const std::vector<std::string> names = oddNames();
  std::int64_t when = kFirstWrite;
  for (const auto& name : names) {
    write(name, "first version of " + name + std::string(3000, 'z'), when++);
  }
  ASSERT_GT(root().size() + longOddPath().size(), 1024u);
  addJob(kJob, {tree()});

  RunOutcome run = runBackup(kJob);
  EXPECT_EQ(run.result, 0u);
  EXPECT_EQ(run.row.status, 0x1001);
  EXPECT_EQ(run.row.errors, 0);
  EXPECT_EQ(run.verify.failed, 0) << mismatches(run);
  EXPECT_EQ(run.verify.passed, int(names.size()));
  // One stored file per name, under its own text: none merged, none split.
  std::set<QString> stored;
  for (const auto& v : box().store().newestVersions(kJob)) stored.insert(v.path);
  std::set<QString> expected;
  for (const auto& name : names) expected.insert(textPath(name));
  EXPECT_EQ(stored, expected);
  EXPECT_EQ(expected.size(), names.size());
  for (const QString& path : stored) {
    EXPECT_FALSE(kvn_network::toWirePath(path).mid(1).split(u'|').contains(QString()))
        << "an empty wire component in " << path.toStdString();
  }
  // The Latin-1 name and the real U+EFE9 stay apart, and the name with "|"
  // is one file, not a folder.
  EXPECT_NE(textPath(kLatin1Name), textPath(kRealEscapeCharacterName));
  EXPECT_EQ(box().store().versions(kJob, textPath(kBarName)).size(), 1u);
  EXPECT_TRUE(box().store().versions(kJob, tree() + "/a/b.txt").empty());

  const std::vector<std::string> edited = {kLatin1Name, kBarName, kRealMappedBarName,
                                           kBarFolderFile, longOddPath()};
  when = kSecondWrite;
  for (const auto& name : edited) {
    write(name, "first version of " + name + std::string(3000, 'z') + " and an edit", when++);
  }
  const std::size_t before = record().backupData().size();
  run = runBackup(kJob);
  EXPECT_EQ(run.row.status, 0x1001);
  EXPECT_EQ(run.row.errors, 0);
  EXPECT_EQ(run.row.modifiedFiles, int(edited.size()));
  EXPECT_EQ(run.verify.failed, 0) << mismatches(run);
  EXPECT_EQ(run.verify.passed, int(names.size()));
  const Transfers kinds = transfers(record(), before, kJob);
  for (const auto& name : edited) {
    const QString path = textPath(name);
    EXPECT_TRUE(sent(kinds, path, 12)) << kvn_test::printableName(name);
    EXPECT_FALSE(sent(kinds, path, 10)) << kvn_test::printableName(name);
    EXPECT_EQ(box().store().versions(kJob, path).size(), 2u) << kvn_test::printableName(name);
  }
  EXPECT_EQ(kinds.size(), 2 * edited.size());  // delta and signature, nothing else
}

TEST_F(OddNames, ExclusionPatternsSeeTheNamesTheBoxShows) {
  constexpr std::int64_t kJob = 32;
  startBoxAt("127.0.6.12");
  const std::vector<std::string> names = oddNames();
  for (const auto& name : names) write(name, "content of " + name, kFirstWrite);
  // The folder "dir|x" whole, and "caf?.txt": "?" is one character, which
  // the Latin-1 byte is and the escaped real U+EFE9 (three bytes) is not.
  const QString wireTree = kvn_network::toWirePath(tree());
  JobSettings settings;
  settings.excluded = {kvn_network::toWirePath(textPath(kBarFolder)) + "|", wireTree + "|caf?.txt"};
  addJob(kJob, {tree()}, settings);

  const RunOutcome run = runBackup(kJob);
  EXPECT_EQ(run.row.status, 0x1001);
  EXPECT_EQ(run.row.errors, 0);
  EXPECT_EQ(run.verify.passed, int(names.size()) - 2);
  const QStringList missing = {"missing on box: " + textPath(kLatin1Name),
                               "missing on box: " + textPath(kBarFolderFile)};
  QStringList sorted = missing;
  sorted.sort();
  EXPECT_EQ(run.verify.mismatches, sorted) << mismatches(run);
}

}  // namespace
}  // namespace kvn_e2e
