// The read-only queries: folder and drive listings in pages, the echo, the
// log level, the operation counts and the machine description, and the
// replier's promise that every query gets a final answer.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSet>
#include <QSysInfo>

#include "core_app_environment.h"
#include "handlers_fixture.h"
#include "tessel/filelist.h"

namespace {

using kvn_test::HandlersTest;

class FileListTest : public HandlersTest {
 protected:
  QString folder() const { return QString::fromStdString(dir_.path()); }
  void makeFiles(int count) {
    for (int i = 0; i < count; ++i) {
      kvn_test::writeFile(dir_.file(QString("f%1").arg(i, 5, 10, QChar('0')).toStdString()), "x");
    }
  }
  // The wire form of the folder, as the box names it in the answer.
  QString wireFolder() const { return QString(folder()).replace('/', '|'); }
  std::vector<QJsonObject> list(const QString& path) {
    return ask({{"type", "file_list"}, {"path", path}});
  }

  kvn_test::TempDir dir_;
};

// Checks the pages' shape and returns every entry name in page order.
QStringList pageNames(const std::vector<QJsonObject>& responses, const QString& path, int total,
                      const std::vector<int>& counts) {
  QStringList names;
  EXPECT_EQ(responses.size(), counts.size());
  for (std::size_t i = 0; i < responses.size() && i < counts.size(); ++i) {
    const QJsonObject page = responses[i].value("response").toObject();
    EXPECT_EQ(responses[i].value("done").toBool(), i + 1 == counts.size()) << i;
    EXPECT_TRUE(page.value("ok").toBool());
    EXPECT_EQ(page.value("path").toString(), path);
    EXPECT_EQ(page.value("count_total").toInt(), total);
    EXPECT_EQ(page.value("count").toInt(), counts[i]);
    const QJsonArray entries = page.value("entries").toArray();
    EXPECT_EQ(entries.size(), counts[i]);
    for (const auto& entry : entries) names << entry.toObject().value("name").toString();
  }
  return names;
}

TEST_F(FileListTest, LargeFoldersComeInPagesOfAThousandWithTheLastOneDone) {
  makeFiles(2500);
  // The box may write the path with "/"; it is answered in its "|" form.
  const QStringList names = pageNames(list(folder()), wireFolder(), 2500, {1000, 1000, 500});
  EXPECT_EQ(QSet<QString>(names.begin(), names.end()).size(), 2500);
  EXPECT_TRUE(names.contains("f00000"));
  EXPECT_TRUE(names.contains("f02499"));
}

TEST_F(FileListTest, AFullLastPageIsFollowedByAnEmptyDoneOne) {
  makeFiles(1000);
  pageNames(list(wireFolder()), wireFolder(), 1000, {1000, 0});
  QDir(folder()).removeRecursively();
  // A folder that cannot be read answers with nothing, still ok and done.
  pageNames(list(wireFolder()), wireFolder(), 0, {0});
}

TEST_F(FileListTest, EntriesTellFoldersFromFilesAndCarryFileSizes) {
  kvn_test::writeFile(dir_.file("a.txt"), "hello");
  ASSERT_TRUE(QDir(folder()).mkdir("sub"));
  ASSERT_TRUE(QFile::link(dir_.file("a.txt").c_str(), QString::fromStdString(dir_.file("ln"))));
  const auto responses = list(wireFolder());
  ASSERT_EQ(responses.size(), 1u);
  const QJsonArray entries = responses[0].value("response").toObject().value("entries").toArray();
  // Links are not offered: the backup never follows them either.
  ASSERT_EQ(entries.size(), 2);
  EXPECT_EQ(entries[0].toObject(), (QJsonObject{{"name", "a.txt"}, {"type", "file"}, {"size", 5}}));
  EXPECT_EQ(entries[1].toObject(), (QJsonObject{{"name", "sub"}, {"type", "folder"}}));
  EXPECT_TRUE(logged("get list of files in " + wireFolder().toStdString())) << log_.text();

  // A relative path would be read from the service's working folder.
  pageNames(list("tmp"), "tmp", 0, {0});
}

TEST_F(FileListTest, RootListsTheDrivesInTheBoxsPathForm) {
  std::vector<bool> asked;
  queries_.add("file_list", std::make_unique<FileListProcessor>(
                                [&](bool removable, std::vector<std::string>& mounts, int*) {
                                  asked.push_back(removable);
                                  mounts = {"/", "/media/usb disk"};
                                  return true;
                                }));
  for (const QString& path : {QString("ROOT"), QString("")}) {
    const auto responses = list(path);
    pageNames(responses, "ROOT", 2, {2});
    const QJsonArray entries = responses[0].value("response").toObject().value("entries").toArray();
    EXPECT_EQ(entries[0].toObject(), (QJsonObject{{"name", "|"}, {"type", "folder"}}));
    EXPECT_EQ(entries[1].toObject(),
              (QJsonObject{{"name", "|media|usb disk"}, {"type", "folder"}}));
  }
  ask({{"type", "file_list"}, {"path", "ROOT"}, {"show_removable", true}});
  EXPECT_EQ(asked, (std::vector<bool>{false, false, true}));

  queries_.add("file_list",
               std::make_unique<FileListProcessor>([](bool, std::vector<std::string>&, int* error) {
                 *error = EACCES;
                 return false;
               }));
  pageNames(list("ROOT"), "ROOT", 0, {0});
  EXPECT_TRUE(logged("cannot list the drives: Permission denied")) << log_.text();
}

class SmallQueriesTest : public HandlersTest {};

TEST_F(SmallQueriesTest, TestEchoesItsValue) {
  EXPECT_EQ(answer({{"type", "test"}, {"test", 5}}), (QJsonObject{{"ok", true}, {"test", 5}}));
  const QJsonObject nested{{"a", QJsonArray{1, "two"}}};
  EXPECT_EQ(answer({{"type", "test"}, {"test", nested}}),
            (QJsonObject{{"ok", true}, {"test", nested}}));
}

TEST_F(SmallQueriesTest, LogsSetsTheThresholdFromTheLevelsFirstLetter) {
  EXPECT_EQ(answer({{"type", "logs"}}), (QJsonObject{{"ok", false}}));
  EXPECT_EQ(answer({{"type", "logs"}, {"level", ""}}), (QJsonObject{{"ok", false}}));
  EXPECT_EQ(answer({{"type", "logs"}, {"level", "Warning"}}), ok());
  EXPECT_EQ(kvn_log::level(), kvn_log::Warning);
  // An unknown name leaves the threshold as it was, and is still ok.
  EXPECT_EQ(answer({{"type", "logs"}, {"level", "verbose"}}), ok());
  EXPECT_EQ(kvn_log::level(), kvn_log::Warning);
}

TEST_F(SmallQueriesTest, OperationsCountsWhatRuns) {
  control_.activeBackups = [] { return 3u; };
  EXPECT_EQ(answer({{"type", "operations"}}),
            (QJsonObject{{"ok", true}, {"active_backups", 3}, {"active_restorations", 0}}));
  control_.runningFileOperations = [] { return 2u; };
  EXPECT_EQ(answer({{"type", "operations"}}).value("active_restorations").toInt(), 2);
}

TEST_F(SmallQueriesTest, VolumeListAnswersWithTheVolumesOfTheMoment) {
  EXPECT_EQ(answer({{"type", "volume_list"}}).value("ok"), false);
  int asked = 0;
  facts_.volumeList = [&asked] {
    ++asked;
    return QJsonObject{{"ok", true}, {"entries", QJsonArray{}}, {"count", 0}};
  };
  const QJsonObject reply{{"ok", true}, {"entries", QJsonArray{}}, {"count", 0}};
  EXPECT_EQ(answer({{"type", "volume_list"}}), reply);
  EXPECT_EQ(answer({{"type", "volume_list"}}), reply);
  // Built anew for every question: volumes come and go.
  EXPECT_EQ(asked, 2);
}

TEST_F(SmallQueriesTest, MachineInfoDescribesHostAndAgent) {
  const QJsonObject info = answer({{"type", "machine_info"}});
  EXPECT_TRUE(info.value("ok").toBool());
  EXPECT_EQ(info.value("hostname").toString(), QSysInfo::machineHostName());
  EXPECT_EQ(info.value("agent_version").toString(), "3.6.2.2");
  EXPECT_EQ(info.value("kernel_type").toString(), "linux");
  EXPECT_FALSE(info.value("cpu_arch").toString().isEmpty());
  EXPECT_FALSE(info.value("os").toString().isEmpty());
  EXPECT_EQ(info.value("started_at").toString(), "2026-05-28T20:26:40Z");
}

TEST(TesselReplierTest, EveryQueryEndsWithOneDoneAnswer) {
  kvn_test::RecordingTesselLink link;
  { TesselReplier silent(link, 1); }
  {
    TesselReplier partial(link, 2);
    partial.reply({{"part", 1}}, false);
  }
  {
    TesselReplier complete(link, 3);
    complete.reply({{"ok", true}}, true);
    complete.reply({{"late", true}}, true);  // nothing after done
  }
  const auto messages = link.messages();
  ASSERT_EQ(messages.size(), 4u);
  const QJsonObject closing{{"ok", false}, {"error", "Replier failed to close the stream"}};
  EXPECT_EQ(messages[0].object,
            (QJsonObject{{"query_id", 1}, {"done", true}, {"response", closing}}));
  EXPECT_EQ(messages[1].object.value("done").toBool(), false);
  EXPECT_EQ(messages[2].object,
            (QJsonObject{{"query_id", 2}, {"done", true}, {"response", closing}}));
  EXPECT_EQ(
      messages[3].object,
      (QJsonObject{{"query_id", 3}, {"done", true}, {"response", QJsonObject{{"ok", true}}}}));
}

}  // namespace
