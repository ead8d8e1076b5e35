// A damaged "zlv.ini": recognised before it is read, kept aside as it was,
// and the agent goes on with the database's credentials.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "connection/credentials.h"
#include "connection/settingsfilecheck.h"
#include "core_app_environment.h"
#include "fresh_database.h"
#include "log_capture.h"

namespace {

constexpr const char* kCompleteIni =
    "[zelvo]\nbox_ip=192.168.1.9\ncryptkey=00112233445566778899aabbccddeeff\n"
    "datanode=dn.example:7000\nlicense_agent=17\nlicense_storage=4242\n";

struct Sample {
  const char* name;
  std::string content;
  // Part of the reported damage; nullptr for a sound file.
  const char* damage;
};

const Sample kSamples[] = {
    {"complete", kCompleteIni, nullptr},
    {"marked restored", std::string(kCompleteIni) + "reset_agent=true\nrestored_agent=true\n",
     nullptr},
    {"windows lines, BOM, comments, blank lines",
     "\xef\xbb\xbf; written elsewhere\r\n[zelvo]\r\n\r\n# key\r\ncryptkey = abc\r\n", nullptr},
    {"empty", "", nullptr},
    {"incomplete", "[zelvo]\nbox_ip=1.2.3.4\n", nullptr},
    {"NUL bytes of a lost write", std::string("[zelvo]\nbox_ip=1.2.3.4\n\0\0\0\0", 27),
     "binary data (byte 0x00 at offset 23)"},
    {"random bytes", "\x93\x11\xfe\x02zelvo\x88", "binary data"},
    {"invalid UTF-8", "[zelvo]\nbox_ip=caf\xe9\n", "not UTF-8 text"},
    {"a line of prose", "[zelvo]\nbox_ip=1.2.3.4\nthis is not a setting\n",
     "line 3 is neither a section nor key=value"},
    {"a key without name", "[zelvo]\n=1.2.3.4\n", "line 2 is neither"},
    {"a cut section header", "[zel", "line 1 is not a whole section header"},
    {"far too long", std::string(70 * 1024, 'a'), "more than a settings file can be"},
};

class DamagedSettings : public kvn_test::FreshDatabase {
 protected:
  QString iniPath() const { return QString::fromStdString(file("zlv.ini")); }
  QStringList keptFiles() const {
    return QDir(QString::fromStdString(file(""))).entryList({"zlv.ini.damaged-*"}, QDir::Files);
  }
};

TEST_F(DamagedSettings, OnlyWhatNeitherTheAgentNorTheWriterWritesCountsAsDamage) {
  for (const Sample& sample : kSamples) {
    kvn_test::writeFile(file("zlv.ini"), sample.content);
    const auto damage = settingsFileDamage(iniPath());
    if (sample.damage == nullptr) {
      EXPECT_FALSE(damage.has_value()) << sample.name << ": " << damage->toStdString();
    } else {
      ASSERT_TRUE(damage.has_value()) << sample.name;
      EXPECT_TRUE(damage->contains(QString::fromUtf8(sample.damage)))
          << sample.name << ": " << damage->toStdString();
    }
  }
  EXPECT_FALSE(settingsFileDamage(QString::fromStdString(file("absent.ini"))).has_value());
}

TEST_F(DamagedSettings, TheFileIsKeptAsItWasAndTheDatabaseRefillsANewOne) {
  sql("INSERT INTO credential (license_storage, license_agent, cryptkey, datanode, box_ip) "
      "VALUES (99, 55, 'dbkey', 'dbnode:1', '10.1.1.1');");
  // Complete but for one damaged line, and flagged: none of it is used.
  const std::string damaged = std::string(kCompleteIni) + "restored_agent=true\n\x01\x02garbage\n";
  for (int round = 0; round < 2; ++round) {
    kvn_test::writeFile(file("zlv.ini"), damaged);
    Credentials credentials(iniPath());
    kvn_test::LogCapture capture;
    ASSERT_TRUE(credentials.load());
    const std::string log = capture.text();
    EXPECT_NE(log.find("the settings file '" + file("zlv.ini") + "' is damaged (it holds binary"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("continuing with the credentials from the database"), std::string::npos);
    EXPECT_EQ(credentials.cryptkey(), "dbkey");
    EXPECT_EQ(credentials.licenseStorage(), 99);
    EXPECT_FALSE(credentials.restoredAgent());
    const std::string fresh = kvn_test::readFile(file("zlv.ini"));
    EXPECT_NE(fresh.find("cryptkey=dbkey"), std::string::npos) << fresh;
    EXPECT_FALSE(settingsFileDamage(iniPath()).has_value());
  }
  // Two damaged files within one second: neither is written over.
  const QStringList kept = keptFiles();
  ASSERT_EQ(kept.size(), 2) << kept.join(' ').toStdString();
  for (const QString& name : kept)
    EXPECT_EQ(kvn_test::readFile(file(name.toStdString())), damaged) << name.toStdString();
}

}  // namespace
