// The file-system layer: wildcards, listings that never show links, the
// mapping of normal paths onto a snapshot, and the time rules.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <QDir>

#include "../kvn_log/log_capture.h"
#include "byte_tree.h"
#include "filesystem/dir.h"
#include "filesystem/fileinfo.h"
#include "filesystem/wildcard.h"
#include "kvn_log/exception.h"
#include "kvn_platform/text_path_qt.h"
#include "temp_dir.h"

using namespace kvn_agent_filesystem;

namespace {

QString q(const std::string& s) { return QString::fromStdString(s); }

void setMtime(const std::string& path, time_t when) {
  utimbuf times{when, when};
  ASSERT_EQ(::utime(path.c_str(), &times), 0);
}

QStringList names(const FileInfoList& list) {
  QStringList out;
  for (const auto& info : list) out << info->fileName();
  return out;
}

}  // namespace

TEST(WildcardPatternTest, CaseInsensitiveWholeMatchWhereStarCrossesFolders) {
  const WildcardPattern folder("/Data/Temp/*");
  EXPECT_TRUE(folder.matches("/data/temp/a/b/c.txt"));
  EXPECT_TRUE(folder.matches("/DATA/TEMP/"));
  EXPECT_FALSE(folder.matches("/data/temporary"));
  EXPECT_FALSE(folder.matches("/x/data/temp/a"));  // anchored at the start

  const WildcardPattern mixed("*.t?p");
  EXPECT_TRUE(mixed.matches("/a/b.TMP"));
  EXPECT_FALSE(mixed.matches("/a/b.tmp.bak"));
  EXPECT_TRUE(WildcardPattern("/a/[bc]x").matches("/a/CX"));
  EXPECT_FALSE(WildcardPattern("/a/[!bc]x").matches("/a/bx"));
  // Regular-expression characters are plain text.
  EXPECT_TRUE(WildcardPattern("/a+(1).txt").matches("/a+(1).txt"));
  EXPECT_FALSE(WildcardPattern("/a+(1).txt").matches("/aa(1).txt"));
}

TEST(KvnDirTest, ListsFilesAndFoldersButNeverLinksOrSpecialFiles) {
  kvn_test::TempDir dir;
  kvn_test::writeFile(dir.file("file"), "x");
  kvn_test::writeFile(dir.file(".hidden"), "x");
  QDir().mkpath(q(dir.file("sub")));
  ASSERT_EQ(::symlink(dir.path().c_str(), dir.file("loop").c_str()), 0);
  ASSERT_EQ(::symlink(dir.file("file").c_str(), dir.file("filelink").c_str()), 0);
  ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);

  KvnDirWindows live(q(dir.path()), QString(), QDateTime(), QString());
  const auto list = live.list();
  EXPECT_EQ(names(list), QStringList({".hidden", "file", "sub"}));
  EXPECT_TRUE(list[2]->isDirectory());
  EXPECT_EQ(list[1]->path(), q(dir.file("file")));

  live.setNameFilters({"F*"});
  EXPECT_EQ(names(live.list()), QStringList({"file"}));

  kvn_test::LogCapture capture;
  KvnDirWindows missing(q(dir.file("nope")), QString(), QDateTime(), QString());
  EXPECT_TRUE(missing.list().empty());
  EXPECT_NE(capture.text().find("cannot list folder"), std::string::npos);
}

// A "snapshot" here is a copy of the tree in another folder: the normal
// paths stay those of the live tree, the data and times come from the copy.
TEST(SnapshotMappingTest, ReadsBelowTheSnapshotRootByPathRelativeToTheMountPoint) {
  kvn_test::TempDir live, snapshot;
  QDir().mkpath(q(live.file("docs")));
  QDir().mkpath(q(snapshot.file("docs")));
  kvn_test::writeFile(live.file("docs/a.txt"), "live content");
  kvn_test::writeFile(snapshot.file("docs/a.txt"), "snap");
  kvn_test::writeFile(snapshot.file("docs/only-in-snapshot"), "s");
  setMtime(snapshot.file("docs/a.txt"), 1500000000);

  const QDateTime when = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);
  const KVNFileInfo file(q(live.file("docs/a.txt")), q(snapshot.path()), when, q(live.path()));
  EXPECT_EQ(file.readPath(), q(snapshot.file("docs/a.txt")));
  EXPECT_EQ(file.size(), 4);
  EXPECT_EQ(file.lastModified().toSecsSinceEpoch(), 1500000000);
  EXPECT_EQ(file.lastWriteFromFile(), 1500000000);

  KvnDirWindows folder(q(live.file("docs")), q(snapshot.path()), when, q(live.path()));
  const auto list = folder.list();
  EXPECT_EQ(names(list), QStringList({"a.txt", "only-in-snapshot"}));
  EXPECT_EQ(list[0]->path(), q(live.file("docs/a.txt")));
  EXPECT_EQ(list[0]->readPath(), q(snapshot.file("docs/a.txt")));

  EXPECT_EQ(snapshotReadPath("/home/ann/x", "/snap/root/", "/"), "/snap/root/home/ann/x");
  EXPECT_EQ(snapshotReadPath("/mnt/data/x", "/snap/2", "/mnt/data"), "/snap/2/x");
}

TEST(LastModifiedTest, UtcSecondsLiveAndSnapshotTimeOrExceptionWhenUnknown) {
  kvn_test::TempDir dir;
  kvn_test::writeFile(dir.file("f"), "x");
  setMtime(dir.file("f"), 1600000000);
  // No time-zone conversion: the stored value must not move with the clock.
  EXPECT_EQ(KVNFileInfo(q(dir.file("f")), QString(), QDateTime(), QString())
                .lastModified()
                .toSecsSinceEpoch(),
            1600000000);

  kvn_platform::FileStatus noTime;
  noTime.kind = kvn_platform::FileKind::Regular;
  const QDateTime when = QDateTime::fromSecsSinceEpoch(1700000000, Qt::UTC);
  kvn_test::LogCapture capture;
  const KVNFileInfo withSnapshotTime(noTime, "/a/f", "/snap", when, "/");
  EXPECT_EQ(withSnapshotTime.lastModified(), when);
  EXPECT_NE(capture.text().find("Using vss date for /snap/a/f"), std::string::npos);

  const KVNFileInfo withoutTime(noTime, "/a/f", "/snap", QDateTime(), "/");
  try {
    withoutTime.lastModified();
    FAIL() << "no exception";
  } catch (const KvnCommonException& e) {
    EXPECT_EQ(e.code, KVN_E_EXCEPTION);
    EXPECT_NE(std::string(e.what()).find("Invalid timestamp for file in vss: /snap/a/f"),
              std::string::npos);
  }
}

TEST(ReparseTargetTest, LinksGiveTheirAbsoluteTargetPlainFoldersNone) {
  kvn_test::TempDir dir;
  QDir().mkpath(q(dir.file("a/b")));
  ASSERT_EQ(::symlink("../..", dir.file("a/b/up").c_str()), 0);
  const KVNFileInfo link(q(dir.file("a/b/up")), QString(), QDateTime(), QString());
  EXPECT_TRUE(link.isSymLink());
  EXPECT_TRUE(link.isReparsePoint());
  QString target;
  ASSERT_TRUE(link.reparseTarget(target));
  EXPECT_EQ(target, q(dir.path()));

  const KVNFileInfo folder(q(dir.file("a")), QString(), QDateTime(), QString());
  EXPECT_FALSE(folder.isReparsePoint());
  EXPECT_FALSE(folder.reparseTarget(target));
}

TEST(KvnDirTest, NamesThatAreNotUtf8OrHoldTheBarAreListedAndReadBack) {
  kvn_test::TempDir dir;
  const std::string latin1 = "caf\xE9.txt";
  const std::string bar = "a|b";
  for (const auto& name : {latin1, bar}) {
    ASSERT_TRUE(kvn_test::writeByteFile(dir.path(), name, "12345", 1700000000).empty());
  }
  const QString folder = kvn_platform::toTextPath(dir.path());
  for (const QString& snapshotRoot : {QString(), folder}) {
    SCOPED_TRACE(snapshotRoot.toStdString());
    KvnDirWindows listing(folder, snapshotRoot, QDateTime(), folder);
    const FileInfoList entries = listing.list();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(names(entries), (QStringList{kvn_platform::toTextPath(bar),
                                           kvn_platform::toTextPath(latin1)}));
    for (const auto& entry : entries) {
      // The listed path names the file again, through the snapshot or not.
      const KVNFileInfo again(entry->path(), snapshotRoot, QDateTime(), folder);
      EXPECT_TRUE(again.exists()) << entry->path().toStdString();
      EXPECT_EQ(again.size(), 5);
      EXPECT_EQ(again.lastWriteFromFile(), 1700000000);
    }
  }
}
