// The path database: full paths from parent links, and the mount points of
// a volume read from the mount table.
#include <gtest/gtest.h>
#include <sys/mount.h>

#include <QDir>
#include <QProcess>

#include "../file_finder/mount_namespace.h"
#include "../kvn_log/log_capture.h"
#include "backup/pathdb/pathdatabase.h"
#include "filesystem/fileinfo.h"
#include "kvn_platform/filesystem.h"
#include "kvn_platform/text_path_qt.h"
#include "temp_dir.h"

namespace {

QString mountPointOf(const QString& path) {
  std::vector<kvn_platform::MountEntry> mounts;
  kvn_platform::readMountTable(mounts, nullptr);
  return kvn_platform::toTextPath(
      kvn_platform::mountPointOf(mounts, kvn_platform::toNativePath(path)));
}

QStringList reparseList(const QString& volume) {
  PathDatabase db(volume);
  EXPECT_TRUE(db.load());
  QStringList list;
  db.reparseList(list);
  return list;
}

}  // namespace

TEST(PathDatabaseTest, FullPathWalksParentsAndStopsAtUnknownOnes) {
  PathDatabase db("/mnt/data");
  db.add({10, 0, 0x10, "/mnt/data"});
  db.add({11, 10, 0x10, "Users"});
  db.add({12, 11, 0x410, "Old"});
  db.add({12, 10, 0x10, "ignored"});  // the first record of an id wins
  db.add({13, 99, 0x410, "orphan"});
  db.add({14, 15, 0x410, "a"});  // a loop must end
  db.add({15, 14, 0x10, "b"});

  QString path;
  EXPECT_TRUE(db.fullPath(db.entries()[2], path));
  EXPECT_EQ(path, "/mnt/data/Users/Old");
  EXPECT_FALSE(db.fullPath(db.entries()[3], path));
  EXPECT_EQ(path, "orphan");
  EXPECT_FALSE(db.fullPath(db.entries()[4], path));
  QStringList list;
  db.reparseList(list);
  EXPECT_EQ(list, QStringList({"/mnt/data/Users/Old"}));
}

// Checked against the mount table as findmnt shows it.
TEST(PathDatabaseTest, RootVolumeReportsTheMountsFindmntShows) {
  QProcess findmnt;
  findmnt.start("findmnt", {"-rn", "-o", "TARGET"});
  if (!findmnt.waitForFinished() || findmnt.exitCode() != 0) GTEST_SKIP() << "no findmnt";
  const QStringList targets = QString::fromUtf8(findmnt.readAllStandardOutput()).split('\n');
  const QStringList list = reparseList("/");
  for (const auto& path : list) EXPECT_TRUE(targets.contains(path)) << path.toStdString();
  for (const auto& target : targets) {
    // Every mount directly on the root volume is reported, none twice.
    if (target.isEmpty() || target == "/" || mountPointOf(QFileInfo(target).path()) != "/")
      continue;
    EXPECT_EQ(list.count(target), 1) << target.toStdString();
  }
}

TEST(PathDatabaseTest, MissingVolumeFailsWithALine) {
  kvn_test::LogCapture capture;
  PathDatabase db("/no/such/volume");
  EXPECT_FALSE(db.load());
  EXPECT_NE(capture.text().find("cannot open volume /no/such/volume"), std::string::npos);
}

TEST(PathDatabaseTest, MountsInsideATreeBelongToTheVolumeThatHoldsTheirFolder) {
  KVN_IN_MOUNT_NAMESPACE();
  kvn_test::TempDir dir;
  const QString tree = QString::fromStdString(dir.path());
  for (const char* sub : {"/a", "/c", "/deep er/mnt"}) QDir().mkpath(tree + sub);
  KVN_MOUNT_OR_SKIP("none", (tree + "/a").toLocal8Bit().constData(), "tmpfs", 0);
  QDir().mkpath(tree + "/a/b");
  KVN_MOUNT_OR_SKIP("none", (tree + "/a/b").toLocal8Bit().constData(), "tmpfs", 0);
  KVN_MOUNT_OR_SKIP((tree + "/a").toLocal8Bit().constData(),
                    (tree + "/c").toLocal8Bit().constData(), nullptr, MS_BIND);
  KVN_MOUNT_OR_SKIP("none", (tree + "/deep er/mnt").toLocal8Bit().constData(), "tmpfs", 0);

  const QStringList outer = reparseList(mountPointOf(tree));
  EXPECT_TRUE(outer.contains(tree + "/a"));
  EXPECT_TRUE(outer.contains(tree + "/c"));
  EXPECT_TRUE(outer.contains(tree + "/deep er/mnt"));
  EXPECT_FALSE(outer.contains(tree + "/a/b"));
  EXPECT_EQ(reparseList(tree + "/a"), QStringList({tree + "/a/b"}));

  // The mounted file system is a volume of its own; the bind mount shows a
  // folder that can be reached elsewhere.
  const auto target = [](const QString& path) {
    const kvn_agent_filesystem::KVNFileInfo info(path, QString(), QDateTime(), QString());
    QString t;
    EXPECT_TRUE(info.isReparsePoint()) << path.toStdString();
    EXPECT_TRUE(info.reparseTarget(t));
    return t;
  };
  EXPECT_EQ(target(tree + "/a"), "volume:" + tree + "/a");
  EXPECT_EQ(target(tree + "/c"), tree + "/a");
}
