// Pairing with a box through the real program against a local HTTPS page,
// and the start-up paths that depend on the stored credentials.
#include <gtest/gtest.h>
#include <signal.h>

#include <QDir>
#include <QFile>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QSysInfo>
#include <QVariant>

#include "connection/credentials.h"
#include "core_app_environment.h"
#include "database/agentdatabase.h"
#include "pairing_server.h"
#include "process_runner.h"
#include "temp_dir.h"

namespace {

using kvn_test::PairingServer;

// A key with the characters that INI files treat specially.
constexpr const char* kKey = "ab;cd\\\\ef,gh=ij\\\"k";
constexpr const char* kKeyDecoded = "ab;cd\\ef,gh=ij\"k";

std::string okReply() {
  return std::string("{\"status\": null, \"license_key\": 4242, \"device\": \"17\", ") +
         "\"dn\": \"dn.example:8080\", \"cryptkey\": \"" + kKey + "\"}";
}

class EnrolmentTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(QDir().mkpath(zelvo())); }

  QString zelvo() const { return QString::fromStdString(appData_.file("Zelvo")); }
  QString dbPath() const { return zelvo() + "/zlv.db"; }
  QString iniPath() const { return zelvo() + "/zlv.ini"; }

  kvn_test::ProcessResult agent(const QStringList& arguments) {
    kvn_test::ProcessRunner runner(ZLV_SERVICE_BINARY);
    runner.setEnv("ZLV_COMMON_APPDATA", QString::fromStdString(appData_.path()));
    return runner.run(arguments, std::chrono::seconds(90));
  }
  kvn_test::ProcessResult registerWith(const PairingServer& box, QStringList extra = {}) {
    return agent(QStringList{"-f", "--register", box.boxAddress()} + extra);
  }

  // Reads the agent's database with a connection of the test's own.
  QVariant query(const QString& statement) {
    QVariant value;
    {
      QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "enrolment-test");
      db.setDatabaseName(dbPath());
      EXPECT_TRUE(db.open());
      QSqlQuery q(db);
      EXPECT_TRUE(q.exec(statement)) << statement.toStdString();
      if (q.next()) value = q.value(0);
    }
    QSqlDatabase::removeDatabase("enrolment-test");
    return value;
  }

  kvn_test::TempDir appData_;
};

TEST_F(EnrolmentTest, RegistrationStoresTheCredentialsInBothPlaces) {
  PairingServer box("127.0.0.20", PairingServer::Mode::Tls, okReply());
  ASSERT_TRUE(box.listening());

  const auto result = registerWith(box, {"--nas"});
  ASSERT_EQ(result.exitCode, 0) << result.standardOutput.toStdString();
  EXPECT_TRUE(result.standardOutput.contains("Agent registered on box"));
  ASSERT_EQ(box.requests().size(), 1);
  EXPECT_EQ(box.requests()[0].toStdString(),
            "https TLSv1.2 /zelvo/php/scripts/register_agent.php?device_name=" +
                QSysInfo::machineHostName().toStdString() + "&box=1&version=Windows_3.6.2.2");

  EXPECT_EQ(query("SELECT license_storage || ' ' || license_agent || ' ' || datanode || ' ' || "
                  "box_ip FROM credential;")
                .toString(),
            "4242 17 dn.example:8080 " + box.boxAddress());
  EXPECT_EQ(query("SELECT cryptkey FROM credential;").toString(), kKeyDecoded);
  EXPECT_EQ(QFile::permissions(iniPath()) & 0x0077, 0);
  EXPECT_EQ(QFile::permissions(dbPath()) & 0x0077, 0);

  // Written by the agent, read here: the INI quoting must survive.
  ASSERT_TRUE(kvn_agent_database::AgentDatabase::instance().openDB(dbPath()));
  QSqlQuery(kvn_agent_database::AgentDatabase::instance().database())
      .exec("DELETE FROM credential;");
  Credentials credentials(iniPath());
  ASSERT_TRUE(credentials.load());
  EXPECT_EQ(credentials.cryptkey(), kKeyDecoded);
  EXPECT_EQ(credentials.licenseStorage(), 4242);
  EXPECT_EQ(credentials.boxIp(), box.boxAddress());

  const auto license = agent({"--info-license"});
  EXPECT_EQ(license.exitCode, 0);
  EXPECT_EQ(license.standardError.toStdString(), "4242\n");
  const auto device = agent({"--info-device"});
  EXPECT_EQ(device.standardError.toStdString(), "17\n");
}

TEST_F(EnrolmentTest, AnAddressWithoutPortUsesTheHttpsPort) {
  PairingServer box("127.0.0.24", PairingServer::Mode::Tls, okReply(), 443);
  if (!box.listening()) GTEST_SKIP() << "port 443 needs privileges this run does not have";
  const auto result = agent({"-f", "--register", "127.0.0.24"});
  ASSERT_EQ(result.exitCode, 0) << result.standardOutput.toStdString();
  EXPECT_EQ(query("SELECT box_ip FROM credential;").toString(), "127.0.0.24");
  EXPECT_EQ(agent({"--info-license"}).standardError.toStdString(), "4242\n");
}

TEST_F(EnrolmentTest, ABoxWithoutTlsIsReachedOverPlainHttp) {
  PairingServer box("127.0.0.21", PairingServer::Mode::Plain, okReply());
  ASSERT_TRUE(box.listening());
  const auto result = registerWith(box);
  ASSERT_EQ(result.exitCode, 0) << result.standardOutput.toStdString();
  EXPECT_TRUE(result.standardOutput.contains("call to 'https://"));
  ASSERT_EQ(box.requests().size(), 1);
  EXPECT_TRUE(box.requests()[0].startsWith("http - /zelvo/php/scripts/register_agent.php?"));
  EXPECT_EQ(query("SELECT license_storage FROM credential;").toInt(), 4242);
}

TEST_F(EnrolmentTest, RefusedOrInvalidRepliesChangeNothing) {
  PairingServer box("127.0.0.22", PairingServer::Mode::Tls, okReply());
  ASSERT_TRUE(box.listening());
  ASSERT_EQ(registerWith(box).exitCode, 0);
  query("INSERT INTO file (path, job_id) VALUES ('/kept', 1);");
  const std::string ini = kvn_test::readFile(iniPath().toStdString());

  const struct {
    std::string body;
    const char* message;
  } cases[] = {
      {R"({"status": "license exhausted", "license_key": 1, "device": 2, "dn": "d", "cryptkey": "k"})",
       "server-side error on register agent: 'license exhausted'"},
      {"<html>not json</html>", "is invalid: "},
      {R"({"license_key": 1, "device": 2})", "is invalid: missing key status"},
  };
  for (const auto& c : cases) {
    box.setBody(c.body);
    const auto result = registerWith(box);
    EXPECT_EQ(result.exitCode, 1) << c.body << "\n" << result.standardError.toStdString();
    EXPECT_TRUE(result.standardOutput.contains(c.message)) << result.standardOutput.toStdString();
    if (c.body.find("exhausted") != std::string::npos) {
      EXPECT_EQ(result.standardError.toStdString(), "license exhausted\n");
    }
    EXPECT_EQ(kvn_test::readFile(iniPath().toStdString()), ini) << c.body;
    EXPECT_EQ(query("SELECT license_storage FROM credential;").toInt(), 4242) << c.body;
    EXPECT_EQ(query("SELECT COUNT(*) FROM file;").toInt(), 1) << c.body;
  }
}

TEST_F(EnrolmentTest, StartUpClosesInterruptedRunsRecreatesOnResetAndRefusesRestoredMachines) {
  PairingServer box("127.0.0.23", PairingServer::Mode::Tls, okReply());
  ASSERT_TRUE(box.listening());
  ASSERT_EQ(registerWith(box).exitCode, 0);

  // Rows a killed run left open.
  query("INSERT INTO backup (start_time, status, job_id) VALUES (10, 0, 1), (11, 0, 2);");
  kvn_test::ProcessRunner runner(ZLV_SERVICE_BINARY);
  runner.setEnv("ZLV_COMMON_APPDATA", QString::fromStdString(appData_.path()));
  ASSERT_TRUE(runner.start({"-f"}));
  EXPECT_TRUE(kvn_test::waitFor(
      [&] { return query("SELECT COUNT(*) FROM backup WHERE last_time IS NULL;").toInt() == 0; },
      std::chrono::seconds(60)));
  ::kill(runner.pid(), SIGTERM);
  runner.finish();
  EXPECT_EQ(query("SELECT COUNT(*) FROM backup WHERE status=4098 AND last_time=1;").toInt(), 2);

  // A reset from the box: the next start begins with an empty database.
  QFile ini(iniPath());
  ASSERT_TRUE(ini.open(QIODevice::Append));
  ini.write("reset_agent=true\n");
  ini.close();
  EXPECT_EQ(agent({"--info-license"}).exitCode, 0);
  EXPECT_EQ(query("SELECT COUNT(*) FROM backup;").toInt(), 0);
  EXPECT_EQ(query("PRAGMA user_version;").toInt(), 10);

  ASSERT_TRUE(ini.open(QIODevice::Append));
  ini.write("restored_agent=true\n");
  ini.close();
  const auto restored = agent({"-f"});
  EXPECT_EQ(restored.exitCode, 0);
  EXPECT_TRUE(restored.standardOutput.contains(
      "This is a restored agent, please reinstall the software using the installer"));
  EXPECT_FALSE(restored.standardOutput.contains("runThreads called"));
}

}  // namespace
