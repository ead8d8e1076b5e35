// The box's answers in a backup run as the script asks for them: actions,
// script results, conflicts, reports, signature requests.
#include <gtest/gtest.h>

#include <QFile>

#include "backup_client.h"
#include "boxsim/job_settings.h"
#include "temp_dir.h"

namespace {

using kvn_network::NetPacket;
using kvn_test::BackupClient;
using kvn_test::BackupSim;
namespace type = boxsim::backup_type;
namespace code = boxsim::box_code;

std::uint32_t errorCode(NetPacket answer) { return answer.isError() ? answer.getUInt32() : 0; }

TEST(BackupConversationTest, ActionsAreAnsweredAsScriptedAndRecordedInOrder) {
  auto box = std::make_shared<boxsim::BackupBox>();
  boxsim::BackupScript script;
  script.filesToFix = {"/data/x y", "/data/z"};
  script.quotaOnIni = true;
  script.quotaOnBackup = 2;
  script.finalError = 0x10090000;
  box->setScript(script);
  BackupSim sim(108, box);
  BackupClient client(108);

  NetPacket prep = client.prep(9);
  ASSERT_FALSE(prep.isError());
  EXPECT_EQ(prep.type(), type::kReport);
  EXPECT_EQ(prep.getStringList(), QStringList({"|data|x y", "|data|z"}));
  EXPECT_EQ(errorCode(client.action("PREPOST")), 0u);
  EXPECT_EQ(errorCode(client.scriptResult("hello\n", 3, 0)), 0u);
  EXPECT_EQ(errorCode(client.ini(9, 1234, 2)), code::kQuota);
  EXPECT_EQ(errorCode(client.info("/data/z", 5, 9)), 0u);
  EXPECT_EQ(errorCode(client.action("BACKUP")), 0u);
  EXPECT_EQ(errorCode(client.action("BACKUP")), code::kQuota);
  EXPECT_EQ(errorCode(client.action("BACKUP")), 0u);
  EXPECT_EQ(errorCode(client.action("FLY")), code::kRefused);
  EXPECT_EQ(errorCode(client.action("END")), 0u);
  EXPECT_EQ(errorCode(client.confirm(type::kRunConfirm)), 0x10090000u);

  ASSERT_TRUE(sim.record().waitUntil(
      [](const boxsim::Record& r) { return r.backupActions().size() == 9; }));
  const std::vector<boxsim::BackupAction> actions = sim.record().backupActions();
  QStringList seen;
  for (const boxsim::BackupAction& a : actions)
    seen << QString("%1(%2)=%3").arg(a.name, a.fields.join(',')).arg(a.answerCode, 0, 16);
  EXPECT_EQ(seen, QStringList({"PREP(9)=0", "PREPOST()=0", "INI(9,1234,2)=10070000",
                               "INFO(/data/z,5,9,)=0", "BACKUP()=0", "BACKUP()=10070000",
                               "BACKUP()=0", "FLY()=effeeffc", "END()=0"}));
  const std::vector<boxsim::ScriptResult> scripts = sim.record().scriptResults();
  ASSERT_EQ(scripts.size(), 1u);
  EXPECT_EQ(scripts[0].output, "hello\n");
  EXPECT_EQ(scripts[0].exitCode, 3);

  // A box that does not permit the backup refuses PREP with its code.
  script.notPermitted = true;
  box->setScript(script);
  BackupClient refused(108);
  NetPacket answer = refused.prep(9);
  EXPECT_EQ(answer.type(), type::kReport);
  EXPECT_EQ(errorCode(answer), code::kNotPermitted);
}

TEST(BackupConversationTest, ConflictAnswersAreConsumedInOrderPerPath) {
  auto box = std::make_shared<boxsim::BackupBox>();
  boxsim::BackupScript script;
  script.conflicts["/d/a"] = {"SY", "AE"};
  box->setScript(script);
  BackupSim sim(109, box);
  BackupClient client(109);
  ASSERT_FALSE(client.prep(1).isError());

  const auto answerTo = [&](const QString& path) {
    NetPacket answer = client.describe(path, 1, 1);
    if (!answer.isError()) return QString("ok");
    EXPECT_EQ(answer.type(), type::kDescription);
    EXPECT_EQ(answer.getUInt32(), code::kConflict);
    return answer.getString();
  };
  EXPECT_EQ(answerTo("/d/a"), "SY");
  EXPECT_EQ(answerTo("/d/b"), "ok");
  EXPECT_EQ(answerTo("/d/a"), "AE");
  EXPECT_EQ(answerTo("/d/a"), "ok");

  ASSERT_TRUE(
      sim.record().waitUntil([](const boxsim::Record& r) { return r.descriptions().size() == 4; }));
  QStringList answers;
  for (const boxsim::FileDescription& d : sim.record().descriptions())
    answers << d.path + " " + d.answer;
  EXPECT_EQ(answers, QStringList({"/d/a SY", "/d/b new", "/d/a AE", "/d/a new"}));
  const boxsim::FileDescription first = sim.record().descriptions().front();
  EXPECT_EQ(first.jobId, 1);
  EXPECT_EQ(first.fileKey.size(), 32);

  // The copy a connection took is its own: the next one starts afresh.
  BackupClient again(109);
  EXPECT_TRUE(again.describe("/d/a", 1, 1).isError());
}

TEST(BackupConversationTest, ErrorReportsOnBackupTypesAreAcknowledged) {
  auto box = std::make_shared<boxsim::BackupBox>();
  BackupSim sim(110, box);
  BackupClient client(110);
  const std::vector<std::uint32_t> types = {type::kReport, type::kDescription, type::kFullConfirm,
                                            type::kDeltaConfirm, type::kSignatureRequest};
  for (const std::uint32_t t : types) {
    NetPacket answer = client.report(t, 0x31000, "$e0000043: /x (full)");
    EXPECT_FALSE(answer.isError()) << std::hex << t;
    EXPECT_EQ(answer.getUInt32(), 0u);
  }
  ASSERT_TRUE(sim.record().waitUntil(
      [&](const boxsim::Record& r) { return r.errorReports().size() == types.size(); }));
  for (std::size_t i = 0; i < types.size(); ++i) {
    EXPECT_EQ(sim.record().errorReports()[i].packetType, types[i]);
    EXPECT_EQ(sim.record().errorReports()[i].text, "$e0000043: /x (full)");
  }
}

TEST(BackupConversationTest, SignatureRequestsGetTheNewestStoredSignature) {
  kvn_test::TempDir dir;
  auto box = std::make_shared<boxsim::BackupBox>();
  BackupSim sim(111, box);
  BackupClient client(111);
  // A delta for a file the box does not hold has nothing to apply to.
  ASSERT_FALSE(client.prep(6).isError());
  ASSERT_FALSE(client.describe("/d/f", 1, 4).isError());
  EXPECT_EQ(errorCode(client.confirm(type::kDeltaAnnounce)), code::kRefused);

  const QByteArray content = QByteArray("signed content ").repeated(5000);
  ASSERT_FALSE(client.info("/d/f", content.size(), 6).isError());
  ASSERT_FALSE(client.describe("/d/f", 1, content.size()).isError());
  ASSERT_EQ(errorCode(client.sendFull(content, {})), 0u);

  bool received = false;
  const QString file = QString::fromStdString(dir.file("sig"));
  EXPECT_EQ(errorCode(client.requestSignature("/d/f", file, received)), 0u);
  EXPECT_TRUE(received);
  QFile signature(file);
  ASSERT_TRUE(signature.open(QIODevice::ReadOnly));
  EXPECT_EQ(signature.readAll(), kvn_test::signatureOf(content));

  // One the box lacks: the transfer is aborted, then the error answer.
  EXPECT_EQ(errorCode(client.requestSignature("/d/none", file, received)), code::kRefused);
  EXPECT_FALSE(received);
  EXPECT_FALSE(client.action("END").isError());
}

TEST(JobSettingsTest, TheJobOptionNamesTheJobAndItsFlags) {
  const auto both = boxsim::parseJobOption("7:crypto,compression");
  ASSERT_TRUE(both);
  EXPECT_EQ(both->first, 7);
  EXPECT_TRUE(both->second.useCrypto);
  EXPECT_TRUE(both->second.useCompression);
  const auto gzip = boxsim::parseJobOption("8:compression");
  ASSERT_TRUE(gzip);
  EXPECT_FALSE(gzip->second.useCrypto);
  EXPECT_TRUE(gzip->second.useCompression);
  const auto none = boxsim::parseJobOption("9:none");
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->second.useCrypto || none->second.useCompression);
  EXPECT_FALSE(boxsim::parseJobOption("9"));
  EXPECT_FALSE(boxsim::parseJobOption("x:crypto"));
  EXPECT_FALSE(boxsim::parseJobOption("9:zip"));

  boxsim::JobSettingsTable table;
  table.set(7, both->second);
  EXPECT_TRUE(table.get(7).useCrypto);
  EXPECT_FALSE(table.get(8).useCompression);
}

}  // namespace
