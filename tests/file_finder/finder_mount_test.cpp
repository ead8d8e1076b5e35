// Mounts inside a selected tree: another file system is walked like any
// folder, a bind mount of an ancestor is the circular-link case.
#include "../kvn_log/log_capture.h"
#include "finder_fixture.h"
#include "mount_namespace.h"

using FinderMountTest = FinderFixture;

TEST_F(FinderMountTest, MountedFileSystemIsWalkedAndBindMountOfAnAncestorSkipped) {
  KVN_IN_MOUNT_NAMESPACE();
  file("tree/f.txt");
  folder("tree/vol");
  folder("tree/sub/loop");
  KVN_MOUNT_OR_SKIP("none", at("tree/vol").toLocal8Bit().constData(), "tmpfs", 0);
  KVN_MOUNT_OR_SKIP(at("tree").toLocal8Bit().constData(),
                    at("tree/sub/loop").toLocal8Bit().constData(), nullptr, MS_BIND);
  file("tree/vol/v.txt");
  pattern(0, wire("tree"));
  kvn_test::LogCapture capture;

  const QStringList listed = analyse();
  EXPECT_EQ(QSet<QString>(listed.begin(), listed.end()),
            QSet<QString>({"tree/f.txt", "tree/vol/v.txt"}));
  EXPECT_NE(
      capture.text().find("Circular link detected. Skipping " + at("tree/sub/loop").toStdString()),
      std::string::npos);

  // Selected directly, the bind mount is skipped the same way.
  QSqlQuery(db_).exec("DELETE FROM pattern");
  pattern(0, wire("tree/sub/loop"));
  EXPECT_TRUE(analyse().isEmpty());
}
