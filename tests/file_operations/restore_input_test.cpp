// Paths from the box are input: a path that climbs out of the target, a
// link planted on the way or at the destination, and a target that cannot
// be written each fail that file with its result, and the next file is
// still tried.
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include "file_operations_fixture.h"

namespace kvn_e2e {
namespace {

constexpr std::time_t kTime = 1650000000;

class RestoreInput : public FileOperationsE2E {
 protected:
  // The result the box got for path.
  std::optional<boxsim::RestoreResult> resultFor(const QString& path) {
    for (const auto& result : fileOperationsBox().results())
      if (result.path == path) return result;
    return std::nullopt;
  }
  static QByteArray contentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }
};

TEST_F(RestoreInput, TraversalAndLinksAreRefusedAndTheNextFileIsRestored) {
  startBox(20);
  const QString target = scratch("target");
  const QString outside = scratch("outside");
  plantLinksOut(target, outside);

  const QStringList paths = {"/x/../../escape.txt", "/via/link/secret.txt", "/at/secret.txt",
                             "/fine/ok.txt"};
  for (const QString& path : paths) plantVersion(7, path, "from the box " + path.toUtf8(), kTime);
  restore("op-input", plan(7, paths, 0), target);

  for (const QString& refused : {paths[0], paths[1]}) {
    const auto result = resultFor(refused);
    ASSERT_TRUE(result) << refused.toStdString();
    EXPECT_TRUE(result->failed) << refused.toStdString();
  }
  EXPECT_FALSE(QFileInfo::exists(scratch("escape.txt")));
  EXPECT_FALSE(QFileInfo::exists(target + "/../escape.txt"));
  EXPECT_EQ(contentOf(outside + "/secret.txt"), QByteArray("keep me"));
  EXPECT_EQ(QDir(outside).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(), 1);

  // The link at the destination is replaced, not written through.
  ASSERT_TRUE(resultFor(paths[2]));
  EXPECT_FALSE(resultFor(paths[2])->failed);
  EXPECT_FALSE(QFileInfo(target + "/at/secret.txt").isSymLink());
  EXPECT_EQ(contentOf(target + "/at/secret.txt"), "from the box " + paths[2].toUtf8());

  ASSERT_TRUE(resultFor(paths[3]));
  EXPECT_FALSE(resultFor(paths[3])->failed);
  EXPECT_EQ(contentOf(target + "/fine/ok.txt"), "from the box " + paths[3].toUtf8());
  EXPECT_TRUE(stagedLeftovers(target).isEmpty());
}

TEST_F(RestoreInput, AClimbingOriginalPathIsRefused) {
  startBox(21);
  const QString inside = scratch("place");
  ASSERT_TRUE(QDir().mkpath(inside));
  const QString climbing = inside + "/../climbed.txt";
  plantVersion(7, climbing, "up", kTime);
  plantVersion(7, inside + "/back.txt", "back", kTime);
  restore("op-original", plan(7, {climbing, inside + "/back.txt"}, 0), "ORIGINAL_PATH");
  ASSERT_TRUE(resultFor(climbing));
  EXPECT_TRUE(resultFor(climbing)->failed);
  EXPECT_FALSE(QFileInfo::exists(scratch("climbed.txt")));
  EXPECT_EQ(contentOf(inside + "/back.txt"), QByteArray("back"));
}

TEST_F(RestoreInput, AnUnwritableTargetFailsEachFileWithThePermissionText) {
  startBox(22);
  const QString locked = scratch("locked");
  makeUnwritable(locked);
  const QStringList paths = {"/a/one.txt", "/b/two.txt"};
  for (const QString& path : paths) plantVersion(7, path, "data", kTime);
  restore("op-locked", plan(7, paths, 0), locked + "/restore");
  ASSERT_EQ(fileOperationsBox().results().size(), 2u);
  for (const auto& result : fileOperationsBox().results()) {
    EXPECT_TRUE(result.failed);
    EXPECT_EQ(result.text, "$e0000104");
  }
  EXPECT_NE(log().find("Receiving file failed"), std::string::npos);
}

}  // namespace
}  // namespace kvn_e2e
