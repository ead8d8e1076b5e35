// Where the credentials come from and where they go: "zlv.ini" and the
// credential table.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "connection/credentials.h"
#include "core_app_environment.h"
#include "fresh_database.h"
#include "kvn_log/errors.h"
#include "log_capture.h"

namespace {

constexpr const char* kCompleteIni =
    "[zelvo]\nbox_ip=192.168.1.9\ncryptkey=00112233445566778899aabbccddeeff\n"
    "datanode=dn.example:7000\nlicense_agent=17\nlicense_storage=4242\n";

class CredentialsTest : public kvn_test::FreshDatabase {
 protected:
  std::string ini() const { return file("zlv.ini"); }
  QString iniPath() const { return QString::fromStdString(ini()); }
  void storeInDatabase() {
    sql("INSERT INTO credential (license_storage, license_agent, cryptkey, datanode, box_ip) "
        "VALUES (99, 55, 'dbkey', 'dbnode:1', '10.1.1.1');");
  }
};

TEST_F(CredentialsTest, ACompleteSettingsFileWinsAndTheDatabaseIsNotRead) {
  kvn_test::writeFile(ini(), kCompleteIni);
  sql("DROP TABLE credential;");  // would fail the load if it were read
  Credentials credentials(iniPath());
  kvn_test::LogCapture capture;
  ASSERT_TRUE(credentials.load());
  EXPECT_NE(capture.text().find("Loading credentials from config file"), std::string::npos);
  EXPECT_EQ(capture.text().find("00112233445566778899aabbccddeeff"), std::string::npos)
      << "the key must never be logged";
  EXPECT_EQ(credentials.boxIp(), "192.168.1.9");
  EXPECT_EQ(credentials.cryptkey(), "00112233445566778899aabbccddeeff");
  EXPECT_EQ(credentials.datanode(), "dn.example:7000");
  EXPECT_EQ(credentials.licenseAgent(), 17);
  EXPECT_EQ(credentials.licenseStorage(), 4242);
  EXPECT_FALSE(credentials.resetAgent());
  EXPECT_FALSE(credentials.restoredAgent());
}

TEST_F(CredentialsTest, AnIncompleteSettingsFileIsRefilledFromTheDatabase) {
  kvn_test::writeFile(ini(), "[zelvo]\nbox_ip=192.168.1.9\nlicense_agent=17\nlicense_storage=x\n");
  storeInDatabase();
  Credentials credentials(iniPath());
  ASSERT_TRUE(credentials.load());
  EXPECT_EQ(credentials.cryptkey(), "dbkey");
  EXPECT_EQ(credentials.boxIp(), "10.1.1.1");

  Credentials again(iniPath());
  sql("DELETE FROM credential;");
  ASSERT_TRUE(again.load());  // now complete: no database needed
  EXPECT_EQ(again.licenseStorage(), 99);
  EXPECT_EQ(again.licenseAgent(), 55);
  EXPECT_EQ(again.datanode(), "dbnode:1");
  EXPECT_EQ(QFile::permissions(iniPath()) & 0x0077, 0) << "readable by group or others";
}

TEST_F(CredentialsTest, NothingStoredAnywhereFailsTheLoad) {
  Credentials credentials(iniPath());
  kvn_test::LogCapture capture;
  EXPECT_FALSE(credentials.load());
  EXPECT_NE(capture.text().find("sql statement 'SELECT cryptkey"), std::string::npos);
}

TEST_F(CredentialsTest, TheBoxAddressOverrideIsUsedButNotWrittenBack) {
  kvn_test::writeFile(ini(), kCompleteIni);
  Credentials credentials(iniPath());
  ASSERT_TRUE(credentials.load(QString("172.16.0.1")));
  EXPECT_EQ(credentials.boxIp(), "172.16.0.1");
  EXPECT_EQ(kvn_test::readFile(ini()), kCompleteIni);
}

TEST_F(CredentialsTest, AddressUpdatesReachBothPlacesOnlyWhenTheyChange) {
  kvn_test::writeFile(ini(), kCompleteIni);
  storeInDatabase();
  Credentials credentials(iniPath());
  ASSERT_TRUE(credentials.load());

  // The same address again writes nothing: neither place changes back.
  sql("UPDATE credential SET box_ip='elsewhere';");
  QFile::remove(iniPath());
  credentials.saveNewBoxIP("192.168.1.9");
  EXPECT_FALSE(QFile::exists(iniPath()));
  EXPECT_EQ(scalar("SELECT box_ip FROM credential;").toString(), "elsewhere");

  credentials.saveNewBoxIP("192.168.1.10");
  credentials.saveNewDatanode("10.0.0.5", 8080);
  EXPECT_EQ(credentials.boxIp(), "192.168.1.10");
  EXPECT_EQ(credentials.datanode(), "10.0.0.5:8080");
  EXPECT_EQ(scalar("SELECT box_ip || ' ' || datanode FROM credential;").toString(),
            "192.168.1.10 10.0.0.5:8080");
  const std::string text = kvn_test::readFile(ini());
  EXPECT_NE(text.find("box_ip=192.168.1.10\n"), std::string::npos) << text;
  EXPECT_NE(text.find("datanode=10.0.0.5:8080\n"), std::string::npos) << text;
}

TEST_F(CredentialsTest, SavingWritesBothPlacesOrNothing) {
  Credentials credentials(iniPath());
  ASSERT_EQ(credentials.saveCredentials(4242, 17, "192.168.1.9", "dn:1", "k"), KVN_OK);
  EXPECT_EQ(scalar("SELECT COUNT(*) FROM credential;").toInt(), 1);
  EXPECT_EQ(scalar("SELECT license_storage || ' ' || license_agent || ' ' || cryptkey FROM "
                   "credential;")
                .toString(),
            "4242 17 k");

  // A failed insert keeps the stored row, the file and the fields.
  const std::string before = kvn_test::readFile(ini());
  sql("CREATE TRIGGER refuse BEFORE INSERT ON credential BEGIN SELECT RAISE(ABORT, 'no'); END;");
  EXPECT_EQ(credentials.saveCredentials(1, 2, "other", "dn:2", "k2"), KVN_E_FAILED);
  EXPECT_EQ(scalar("SELECT cryptkey FROM credential;").toString(), "k");
  EXPECT_EQ(kvn_test::readFile(ini()), before);
  EXPECT_EQ(credentials.boxIp(), "192.168.1.9");
}

TEST_F(CredentialsTest, FlagsSurvivePlainTextMarkingAndAnUnwritableFileIsRefused) {
  kvn_test::writeFile(ini(), kCompleteIni);
  Credentials credentials(iniPath());
  ASSERT_EQ(credentials.setResetAgent(true), KVN_OK);
  EXPECT_TRUE(credentials.resetAgent());
  std::string text = kvn_test::readFile(ini());
  EXPECT_NE(text.find("reset_agent=true\n"), std::string::npos) << text;

  // What the snapshot writer does to a restored machine's copy.
  kvn_test::writeFile(ini(), text + "restored_agent=true\n");
  Credentials restored(iniPath());
  ASSERT_TRUE(restored.load());
  EXPECT_TRUE(restored.restoredAgent());
  EXPECT_TRUE(restored.resetAgent());

  // A folder in place of the file cannot be written (even by root).
  kvn_test::TempDir other;
  const QString blocked = QString::fromStdString(other.file("zlv.ini"));
  ASSERT_TRUE(QDir().mkpath(blocked));
  Credentials unwritable(blocked);
  EXPECT_EQ(unwritable.setResetAgent(true), KVN_E_EXCEPTION);
  EXPECT_FALSE(unwritable.resetAgent());
}

}  // namespace
