// The file finder on generated trees: selection and exclusions as the box
// stores them, "*" expansion, and which files count as changed.
#include <sys/stat.h>
#include <unistd.h>

#include "../kvn_log/log_capture.h"
#include "finder_fixture.h"
#include "kvn_log/errors.h"

using FinderTest = FinderFixture;

TEST_F(FinderTest, ExclusionPatternsFoldersCaseAndTheSelectedFolderItself) {
  file("data/a.txt");
  file("data/b.TMP");
  file("data/Cache/x.bin");
  file("data/keep/y.txt");
  file("data/temp/deep/z.txt");
  file("data/temporary.txt");
  file("other/Cache/w.bin");
  pattern(0, wire("data|"));
  pattern(0, wire("other/Cache"));
  // A folder pattern, in another case than the tree: excludes the folder
  // below data, but not the selected folder other/Cache itself.
  pattern(1, "*|CACHE|");
  pattern(1, wire("DATA/Temp|"));
  pattern(1, "*.tmp");
  kvn_test::LogCapture capture;
  kvn_log::setLevel(kvn_log::Trace);

  const QStringList listed = analyse();
  EXPECT_EQ(
      QSet<QString>(listed.begin(), listed.end()),
      QSet<QString>({"data/a.txt", "data/keep/y.txt", "data/temporary.txt", "other/Cache/w.bin"}));
  EXPECT_EQ(job_->exclusionPatterns(), QStringList({"*/CACHE/*", at("DATA/Temp/*"), "*.tmp"}));
  const std::string log = capture.text();
  EXPECT_NE(log.find("folder excluded: \"" + at("data/Cache/").toStdString() +
                     "\" matches \"*/CACHE/*\""),
            std::string::npos);
  EXPECT_NE(log.find("file excluded: \"" + at("data/b.TMP").toStdString() + "\""),
            std::string::npos);
}

TEST_F(FinderTest, StarInASelectionListsEveryMatchingFolder) {
  file("home/ann/Documents/a.doc");
  file("home/bob/Music/m.mp3");
  file("home/Carl/documents/c.doc");
  file("home/dan");  // a file where a user folder would be
  ASSERT_EQ(
      ::symlink(at("home/ann").toLocal8Bit().constData(), at("home/zed").toLocal8Bit().constData()),
      0);
  pattern(0, wire("home/*/Documents"));

  const QStringList listed = analyse();
  EXPECT_EQ(listed, QStringList({"home/ann/Documents/a.doc"}));
  // Each component is compared as it is on disk; "*" is case-insensitive
  // like exclusions, the plain "Documents" matches only that name.
  ASSERT_EQ(job_->selection().size(), 1);
  EXPECT_EQ(job_->selection().first(), QStringList({at("home/ann/Documents")}));
  // A trailing "/*" selects the folder itself; links are not followed.
  EXPECT_EQ(job_->expandPath(at("home/*/Music/*")), QStringList({at("home/bob/Music")}));
  EXPECT_EQ(job_->expandPath(at("HOME/*")), QStringList());
  EXPECT_EQ(job_->expandPath(at("home/[ab]*")), QStringList({at("home/ann"), at("home/bob")}));
}

TEST_F(FinderTest, UnchangedFilesCountInTheTotalOnly) {
  file("d/same", "1", 1600000000);
  file("d/changed", "22", 1600000000);
  file("d/incomplete", "333", 1600000000);
  file("d/new", "4444", 1600000000);
  record("d/same", 1600000000);
  record("d/changed", 1500000000);
  record("d/incomplete", QVariant());
  record("d/new", 1600000000, 2);  // another job's record
  pattern(0, wire("d"));

  const QStringList listed = analyse();
  EXPECT_EQ(listed, QStringList({"d/changed", "d/incomplete", "d/new"}));
  EXPECT_EQ(counters_.totalFiles, 4);
  EXPECT_EQ(counters_.filesToBackup, 3);
  EXPECT_EQ(counters_.bytesToBackup, 2 + 3 + 4);
  ASSERT_EQ(job_->versions().size(), 3);
  EXPECT_FALSE(job_->versions().value(at("d/incomplete")).hasLastWrite());
}

TEST_F(FinderTest, SignatureFolderMissingPathsSelectedFilesAndLinks) {
  file("agent/Signatures/1/ab/cd/ef1600000000.sig");
  file("agent/Signatures2/kept.txt");
  file("agent/zlv.db");
  file("single.txt", "12345");
  ASSERT_EQ(::symlink(root().toLocal8Bit().constData(), at("agent/loop").toLocal8Bit().constData()),
            0);
  ASSERT_EQ(::symlink(at("single.txt").toLocal8Bit().constData(),
                      at("agent/link.txt").toLocal8Bit().constData()),
            0);
  ASSERT_EQ(::mkfifo(at("agent/pipe").toLocal8Bit().constData(), 0600), 0);
  pattern(0, wire("missing"));
  pattern(0, wire("agent"));
  pattern(0, wire("agent/Signatures/1"));
  pattern(0, wire("single.txt"));
  pattern(0, wire("agent/link.txt"));
  kvn_test::LogCapture capture;

  const QStringList listed = analyse();
  EXPECT_EQ(QSet<QString>(listed.begin(), listed.end()),
            QSet<QString>({"agent/Signatures2/kept.txt", "agent/zlv.db", "single.txt"}));
  EXPECT_EQ(counters_.bytesToBackup, 4 + 4 + 5);
  const std::string log = capture.text();
  EXPECT_NE(log.find(at("missing").toStdString() + " doesn't exist"), std::string::npos);
  EXPECT_NE(log.find(at("agent/link.txt").toStdString() + " is a symbolic link: not followed"),
            std::string::npos);
  EXPECT_NE(log.find("3/3 files to backup (files_to_backup/total) found in filesystem (job_id=1)"),
            std::string::npos);
}

TEST_F(FinderTest, StopRequestEndsTheAnalysisAndKeepsThePreviousList) {
  file("d/a");
  pattern(0, wire("d"));
  EXPECT_EQ(analyse(), QStringList({"d/a"}));
  stop_ = true;
  kvn_test::LogCapture capture;
  EXPECT_EQ(job_->analyse(db_, counters_), KVN_E_STOPPED);
  EXPECT_EQ(job_->entries().size(), 1u);
  EXPECT_NE(capture.text().find("Execution stopped by the user."), std::string::npos);
}

TEST_F(FinderTest, SelectionAndVersionFailuresAreReported) {
  kvn_test::LogCapture capture;
  QSqlQuery(db_).exec("DROP TABLE file");
  FSNJob job(1, signatures_, std::make_shared<SnapshotContext>());
  EXPECT_EQ(job.load(db_), KVN_E_FAILED);
  EXPECT_NE(capture.text().find("Error retrieving versions: "), std::string::npos);
  QSqlQuery(db_).exec("DROP TABLE sel_tem");
  EXPECT_EQ(job.load(db_), KVN_E_FAILED);
  EXPECT_NE(capture.text().find("sql statement 'SELECT pattern.pattern_data FROM"),
            std::string::npos);
}
