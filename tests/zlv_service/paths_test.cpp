#include <QFileInfo>
#include <gtest/gtest.h>

#include "paths.h"
#include "temp_dir.h"

namespace {

TEST(Paths, PrefixGoesInFrontOfEveryFolderAndTheDatabase) {
  kvn_test::TempDir dir;
  const QString root = QString::fromStdString(dir.path());
  const auto p = generatePaths(root, envPrefixFrom("test"), nullptr);
  ASSERT_TRUE(p.has_value());
  EXPECT_EQ(p->baseDir.path(), root + "/Zelvo");
  EXPECT_EQ(p->logsDir.path(), root + "/Zelvo/test-Logs");
  EXPECT_EQ(p->signaturesDir.path(), root + "/Zelvo/test-Signatures");
  EXPECT_EQ(p->workerDir.path(), root + "/Zelvo/test-WorkerFolder");
  EXPECT_EQ(p->databasePath, root + "/Zelvo/test-zlv.db");
  EXPECT_TRUE(p->createdBaseDir);
  for (const QDir* d : {&p->logsDir, &p->signaturesDir, &p->workerDir}) EXPECT_TRUE(d->exists());
}

TEST(Paths, EmptyPrefixGivesThePlainNamesAndAnExistingFolderIsReused) {
  kvn_test::TempDir dir;
  const QString root = QString::fromStdString(dir.path());
  ASSERT_TRUE(QDir(root).mkdir("Zelvo"));
  EXPECT_EQ(envPrefixFrom(""), "");
  const auto p = generatePaths(root, envPrefixFrom(""), nullptr);
  ASSERT_TRUE(p.has_value());
  EXPECT_FALSE(p->createdBaseDir);
  EXPECT_EQ(p->logsDir.path(), root + "/Zelvo/Logs");
  EXPECT_EQ(p->databasePath, root + "/Zelvo/zlv.db");
}

TEST(Paths, AFolderThatCannotBeMadeIsNamed) {
  kvn_test::TempDir dir;
  // A plain file where the Logs folder should go.
  kvn_test::writeFile(dir.file("Zelvo"), "");
  ASSERT_TRUE(QDir(QString::fromStdString(dir.path())).remove("Zelvo"));
  ASSERT_TRUE(QDir(QString::fromStdString(dir.path())).mkdir("Zelvo"));
  kvn_test::writeFile(dir.file("Zelvo/Logs"), "not a folder");
  QString failed;
  EXPECT_FALSE(generatePaths(QString::fromStdString(dir.path()), "", &failed).has_value());
  EXPECT_EQ(failed, QString::fromStdString(dir.file("Zelvo/Logs")));
}

}  // namespace
