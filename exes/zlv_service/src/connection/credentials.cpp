#include "connection/credentials.h"

#include <QSettings>
#include <QSqlError>
#include <QSqlQuery>
#include <QVariant>

#include "connection/settingsfilecheck.h"
#include "database/agentdatabase.h"
#include "database/privatefile.h"
#include "database/sqlerror.h"
#include "kvn_log/errors.h"
#include "kvn_log/log.h"

namespace {

constexpr const char* kLicenseStorage = "zelvo/license_storage";
constexpr const char* kLicenseAgent = "zelvo/license_agent";
constexpr const char* kCryptkey = "zelvo/cryptkey";
constexpr const char* kDatanode = "zelvo/datanode";
constexpr const char* kBoxIp = "zelvo/box_ip";
constexpr const char* kResetAgent = "zelvo/reset_agent";
constexpr const char* kRestoredAgent = "zelvo/restored_agent";
constexpr const char* kTesselHost = "zelvo/tessel_host";

// Integers come back as text from a file written by another process; a
// value that is not a number counts as missing.
std::optional<std::int32_t> intValue(const QSettings& settings, const char* key) {
  if (!settings.contains(key)) return std::nullopt;
  bool ok = false;
  const int value = settings.value(key).toString().trimmed().toInt(&ok);
  if (!ok) return std::nullopt;
  return value;
}

std::optional<QString> textValue(const QSettings& settings, const char* key) {
  if (!settings.contains(key)) return std::nullopt;
  return settings.value(key).toString();
}

const char* yesNo(bool flag) { return flag ? "yes" : "no"; }

}  // namespace

Credentials::Credentials(QString settingsPath) : settingsPath_(std::move(settingsPath)) {}

bool Credentials::checkSettingsFile() {
  const auto damage = settingsFileDamage(settingsPath_);
  if (!damage) return true;
  const QString kept = setDamagedFileAside(settingsPath_);
  if (kept.isEmpty()) {
    // Never written over: it may be all that is left of the pairing.
    KLOG_E(
        "the settings file '%s' is damaged (%s) and cannot be set aside; it is left as it is "
        "and not written",
        qPrintable(settingsPath_), qPrintable(*damage));
    settingsFrozen_ = true;
  } else {
    KLOG_E("the settings file '%s' is damaged (%s); it is kept as '%s'", qPrintable(settingsPath_),
           qPrintable(*damage), qPrintable(kept));
  }
  KLOG_W(
      "continuing with the credentials from the database; the reset and restored flags of the "
      "damaged file are taken as not set");
  return false;
}

bool Credentials::load(const std::optional<QString>& boxIpOverride) {
  const bool trusted = checkSettingsFile();
  // A damaged file that could not be set aside is not read either.
  QSettings settings(trusted ? settingsPath_ : QString(), QSettings::IniFormat);
  const auto licenseStorage = intValue(settings, kLicenseStorage);
  const auto licenseAgent = intValue(settings, kLicenseAgent);
  const auto cryptkey = textValue(settings, kCryptkey);
  const auto datanode = textValue(settings, kDatanode);
  const auto boxIp = boxIpOverride ? boxIpOverride : textValue(settings, kBoxIp);

  if (licenseStorage && licenseAgent && cryptkey && datanode && boxIp) {
    KLOG_I("Loading credentials from config file");
    take({*licenseStorage, *licenseAgent, *cryptkey, *datanode, *boxIp});
    std::lock_guard lock(mutex_);
    resetAgent_ = settings.value(kResetAgent, false).toBool();
    restoredAgent_ = settings.value(kRestoredAgent, false).toBool();
  } else {
    KLOG_I("Loading credentials from DB");
    Values values;
    if (!loadFromDatabase(&values)) return false;
    take(values);
    {
      std::lock_guard lock(mutex_);
      resetAgent_ = false;
      restoredAgent_ = false;
    }
    if (settingsWritable()) {
      KLOG_I("Copying credentials to config file");
      writeAllSettings(values);
    }
  }
  {
    std::lock_guard lock(mutex_);
    tesselHostPattern_ = settings.value(kTesselHost).toString().trimmed();
  }
  logValues();
  KLOG_I("Reset agent: %s", yesNo(resetAgent()));
  KLOG_I("Restored agent: %s", yesNo(restoredAgent()));
  return true;
}

bool Credentials::loadFromDatabase(Values* values) {
  static const QString statement =
      "SELECT cryptkey, license_agent, license_storage, datanode, box_ip FROM credential;";
  QSqlQuery query(kvn_agent_database::AgentDatabase::instance().database());
  if (!query.exec(statement)) {
    KLOG_SQL_FAILURE(statement, query.lastError());
    return false;
  }
  if (!query.next()) {
    KLOG_SQL_FAILURE(statement,
                     QSqlError("no credentials stored", "no row", QSqlError::StatementError));
    return false;
  }
  values->cryptkey = query.value(0).toString();
  values->licenseAgent = query.value(1).toInt();
  values->licenseStorage = query.value(2).toInt();
  values->datanode = query.value(3).toString();
  values->boxIp = query.value(4).toString();
  return true;
}

std::uint32_t Credentials::saveCredentials(std::int32_t licenseStorage, std::int32_t licenseAgent,
                                           const QString& boxIp, const QString& datanode,
                                           const QString& cryptkey) {
  KLOG_I("Saving credentials to DB");
  QSqlDatabase db = kvn_agent_database::AgentDatabase::instance().database();
  static const QString deleteAll = "DELETE FROM credential;";
  static const QString insert =
      "INSERT INTO credential (license_storage, license_agent, cryptkey, datanode, box_ip) VALUES "
      "(:license, :agent, :cryptkey, :dn, :box_ip);";
  // One transaction, so that a failed insert does not leave the table empty.
  if (!db.transaction()) {
    KLOG_SQL_FAILURE(QStringLiteral("BEGIN"), db.lastError());
    return KVN_E_FAILED;
  }
  QSqlQuery remove(db);
  QSqlQuery add(db);
  bool ok = remove.exec(deleteAll);
  if (!ok) KLOG_SQL_FAILURE(deleteAll, remove.lastError());
  if (ok && !(ok = add.prepare(insert))) KLOG_SQL_FAILURE(insert, add.lastError());
  if (ok) {
    add.bindValue(":license", licenseStorage);
    add.bindValue(":agent", licenseAgent);
    add.bindValue(":cryptkey", cryptkey);
    add.bindValue(":dn", datanode);
    add.bindValue(":box_ip", boxIp);
    if (!(ok = add.exec())) KLOG_SQL_FAILURE(insert, add.lastError());
  }
  if (ok && !(ok = db.commit())) KLOG_SQL_FAILURE(QStringLiteral("COMMIT"), db.lastError());
  if (!ok) {
    db.rollback();
    return KVN_E_FAILED;
  }

  const Values values{licenseStorage, licenseAgent, cryptkey, datanode, boxIp};
  if (settingsWritable()) {
    KLOG_I("Saving credentials to config file");
    writeAllSettings(values);
  }
  take(values);
  logValues();
  return KVN_OK;
}

std::uint32_t Credentials::setResetAgent(bool reset) {
  if (!writeSettings({{kResetAgent, reset}})) return KVN_E_EXCEPTION;
  std::lock_guard lock(mutex_);
  resetAgent_ = reset;
  return KVN_OK;
}

void Credentials::saveNewBoxIP(const QString& boxIp) {
  {
    std::lock_guard lock(mutex_);
    if (boxIp == boxIp_) return;
    boxIp_ = boxIp;
  }
  KLOG_D("save box ip: %s", qPrintable(boxIp));
  updateColumn("UPDATE credential set box_ip=:box_ip WHERE box_ip IS NOT NULL;", ":box_ip", boxIp);
  writeSettings({{kBoxIp, boxIp}});
}

void Credentials::saveNewDatanode(const QString& host, int port) {
  const QString datanode = QString("%1:%2").arg(host).arg(port);
  {
    std::lock_guard lock(mutex_);
    if (datanode == datanode_) return;
    datanode_ = datanode;
  }
  KLOG_D("save datanode: %s", qPrintable(datanode));
  updateColumn("UPDATE credential set datanode=:datanode;", ":datanode", datanode);
  writeSettings({{kDatanode, datanode}});
}

void Credentials::updateColumn(const char* statement, const char* placeholder,
                               const QString& value) {
  QSqlQuery query(kvn_agent_database::AgentDatabase::instance().database());
  if (!query.prepare(statement)) {
    KLOG_SQL_FAILURE(statement, query.lastError());
    return;
  }
  query.bindValue(placeholder, value);
  if (!query.exec()) KLOG_SQL_FAILURE(statement, query.lastError());
}

bool Credentials::writeSettings(const QList<std::pair<const char*, QVariant>>& keys) {
  std::lock_guard file(fileMutex_);
  if (!settingsWritable()) return false;
  // The file holds the shared key: make it private before the first byte.
  kvn_agent_database::createPrivateFile(settingsPath_);
  QSettings settings(settingsPath_, QSettings::IniFormat);
  for (const auto& [key, value] : keys) settings.setValue(key, value);
  settings.sync();
  if (settings.status() != QSettings::NoError) {
    KLOG_E("cannot write the settings file '%s'", qPrintable(settingsPath_));
    return false;
  }
  kvn_agent_database::restrictToOwner(settingsPath_);
  return true;
}

bool Credentials::settingsWritable() const {
  return !settingsFrozen_ && QSettings(settingsPath_, QSettings::IniFormat).isWritable();
}

void Credentials::writeAllSettings(const Values& values) {
  writeSettings({{kLicenseStorage, values.licenseStorage},
                 {kLicenseAgent, values.licenseAgent},
                 {kCryptkey, values.cryptkey},
                 {kDatanode, values.datanode},
                 {kBoxIp, values.boxIp}});
}

void Credentials::take(const Values& values) {
  std::lock_guard lock(mutex_);
  licenseStorage_ = values.licenseStorage;
  licenseAgent_ = values.licenseAgent;
  cryptkey_ = values.cryptkey;
  datanode_ = values.datanode;
  boxIp_ = values.boxIp;
}

void Credentials::logValues() const {
  KLOG_I("Box IP: %s", qPrintable(boxIp()));
  KLOG_I("DN: %s", qPrintable(datanode()));
  KLOG_I("Agent License: %d", licenseAgent());
  KLOG_I("Storage License: %d", licenseStorage());
}

QString Credentials::cryptkey() const {
  std::lock_guard lock(mutex_);
  return cryptkey_;
}

QString Credentials::datanode() const {
  std::lock_guard lock(mutex_);
  return datanode_;
}

QString Credentials::boxIp() const {
  std::lock_guard lock(mutex_);
  return boxIp_;
}

std::int32_t Credentials::licenseAgent() const {
  std::lock_guard lock(mutex_);
  return licenseAgent_;
}

std::int32_t Credentials::licenseStorage() const {
  std::lock_guard lock(mutex_);
  return licenseStorage_;
}

bool Credentials::resetAgent() const {
  std::lock_guard lock(mutex_);
  return resetAgent_;
}

bool Credentials::restoredAgent() const {
  std::lock_guard lock(mutex_);
  return restoredAgent_;
}

QString Credentials::tesselHostPattern() const {
  std::lock_guard lock(mutex_);
  return tesselHostPattern_;
}
