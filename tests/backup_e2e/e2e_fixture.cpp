#include "e2e_fixture.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <iostream>
#include <thread>

#include "backup/backup.h"
#include "boxsim/file_handlers.h"
#include "boxsim/operation_handlers.h"
#include "core_app_environment.h"
#include "kvn_crypto/rsa.h"
#include "kvn_vss/vss_import.h"

namespace kvn_e2e {

namespace {

constexpr const char* kCryptkey = "00112233445566778899aabbccddeeff";
constexpr std::uint64_t kLicenceStorage = 4242;
constexpr int kLicenceAgent = 17;
constexpr qlonglong kScheduleId = 1;

// Shared keys, so that each simulator starts fast.
const boxsim::BoxIdentity& identity() {
  static const boxsim::BoxIdentity id{kCryptkey,
                                      kLicenceStorage,
                                      0,
                                      kvn_crypto::generateRsaKeyPair(),
                                      kvn_crypto::generateRsaKeyPair(),
                                      {}};
  return id;
}

QString wire(QString path) { return path.replace('/', '|'); }

bool exec(const QString& statement, const QVariantList& values = {}) {
  QSqlQuery query(kvn_agent_database::AgentDatabase::instance().database());
  if (!query.prepare(statement)) return false;
  for (const QVariant& value : values) query.addBindValue(value);
  const bool ok = query.exec();
  EXPECT_TRUE(ok) << statement.toStdString();
  return ok;
}

}  // namespace

QByteArray noise(qsizetype size, std::uint32_t seed) {
  QByteArray bytes(size, Qt::Uninitialized);
  std::uint64_t state = 0x9E3779B97F4A7C15ull ^ seed;
  for (qsizetype at = 0; at < size; at += 8) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    for (qsizetype i = 0; i < 8 && at + i < size; ++i) bytes[at + i] = char(state >> (8 * i));
  }
  return bytes;
}

void BackupE2E::SetUp() {
  FreshDatabase::SetUp();
  ASSERT_TRUE(useSnapshotLibrary(KVN_VSS_LINUX_LIBRARY));
  data_ = QString::fromStdString(dir_.file("data"));
  tree_ = QString::fromStdString(dir_.file("tree"));
  ASSERT_TRUE(QDir().mkpath(signaturesDir()));
  ASSERT_TRUE(QDir().mkpath(data_ + "/WorkerFolder"));
  ASSERT_TRUE(QDir().mkpath(tree_));
}

void BackupE2E::TearDown() {
  if (simulator_) simulator_->stop();
  simulator_.reset();
  const std::string text = log();
  log_.reset();
  // KVN_E2E_SHOW_LOG shows the log of passing tests as well.
  if (HasFailure() || qEnvironmentVariableIsSet("KVN_E2E_SHOW_LOG"))
    std::cerr << "---- log and failures ----\n" << text << "----\n";
}

bool BackupE2E::useSnapshotLibrary(const char* library) {
  static std::string loaded;
  if (loaded == library) return true;
  if (!loaded.empty()) kvn_vss::unloadVssLibrary();
  loaded.clear();
  if (!kvn_vss::loadVssLibrary(QString::fromUtf8(library))) return false;
  loaded = library;
  return true;
}

void BackupE2E::startBox(int n) {
  const QString address = QString("127.0.0.%1").arg(n);
  box_ = std::make_shared<boxsim::BackupBox>(QString::fromStdString(dir_.file("store")));
  boxsim::Registry registry;
  boxsim::addFileHandlers(registry);
  boxsim::addOperationHandlers(registry);
  boxsim::addBackupHandlers(registry, box_);
  boxsim::SimulatorConfig config;
  config.address = address;
  config.identity = identity();
  config.settings = {5000, 60000};
  simulator_ = std::make_unique<boxsim::BoxSimulator>(std::move(registry), config);
  ASSERT_TRUE(simulator_->start()) << address.toStdString();

  const QString ini = data_ + "/zlv.ini";
  kvn_test::writeFile(ini.toStdString(),
                      "[zelvo]\nbox_ip=" + address.toStdString() + "\ncryptkey=" + kCryptkey +
                          "\ndatanode=127.0.0.139" +
                          "\nlicense_agent=" + std::to_string(kLicenceAgent) +
                          "\nlicense_storage=" + std::to_string(kLicenceStorage) + "\n");
  credentials_ = std::make_unique<Credentials>(ini);
  ASSERT_TRUE(credentials_->load());
}

void BackupE2E::addJob(std::int64_t id, const QStringList& selected, const JobSettings& settings) {
  const qlonglong jobId = id;
  exec("INSERT OR IGNORE INTO scheduler (sched_id, is_periodic) VALUES (?, 0)", {kScheduleId});
  QVariant script;
  if (!settings.preScript.isEmpty()) {
    exec("INSERT INTO prepost_backup_script (id, script) VALUES (?, ?)",
         {jobId, QString::fromLatin1(settings.preScript.toUtf8().toBase64())});
    script = jobId;
  }
  exec(
      "INSERT INTO job (job_id, job_name, sched_id, config_max_num_versions_to_save, "
      "config_externalize, job_ctime, job_type, use_crypto, use_compression, "
      "pre_backup_script_id) VALUES (?, ?, ?, 5, 0, 0, ?, ?, ?, ?)",
      {jobId, QString("job %1").arg(jobId), kScheduleId, settings.type, settings.crypto,
       settings.compression, script});
  exec("INSERT INTO sel_tem (sel_tem_id, is_sel) VALUES (?, 1)", {jobId});
  exec("INSERT INTO job_x_sel_tem (job_id, sel_tem_id) VALUES (?, ?)", {jobId, jobId});
  for (int i = 0; i < selected.size(); ++i) {
    const qlonglong patternId = jobId * 100 + i;
    exec("INSERT INTO pattern (pattern_id, pattern_data, pattern_type) VALUES (?, ?, 0)",
         {patternId, wire(selected[i])});
    exec("INSERT INTO pattern_x_sel_tem (sel_tem_id, pattern_id) VALUES (?, ?)",
         {jobId, patternId});
  }
  box_->jobs().set(jobId, {settings.crypto, settings.compression});
}

void BackupE2E::writeTreeFile(const QString& relative, const QByteArray& content,
                              std::time_t lastWrite) {
  const QString path = treePath(relative);
  ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
  ASSERT_EQ(file.write(content), content.size());
  file.close();
  setLastWrite(path, lastWrite);
}

void BackupE2E::setLastWrite(const QString& path, std::time_t lastWrite) {
  const struct timespec times[2] = {{lastWrite, 0}, {lastWrite, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0), 0);
}

RunOutcome BackupE2E::runBackup(std::int64_t jobId, const std::function<void(Backup&)>& during) {
  const BackupEnvironment environment{QDir(signaturesDir()), QDir(data_ + "/WorkerFolder"),
                                      credentials_.get(), ZlvNetworkSettings{5000, {5000, 60000}}};
  RunOutcome outcome;
  {
    Backup backup(BackupRequest{jobId, false}, environment);
    std::thread helper;
    if (during) helper = std::thread([&] { during(backup); });
    outcome.result = backup.run();
    if (helper.joinable()) helper.join();
  }
  outcome.row = lastRow(jobId);
  outcome.verify = boxsim::verify(box_->store(), tree_, jobId);
  return outcome;
}

BackupRow BackupE2E::lastRow(std::int64_t jobId) {
  QSqlQuery query = sql(QString("SELECT status, nModifiedFiles, nErrors, bLimitExceded, "
                                "last_time FROM backup WHERE job_id=%1 ORDER BY id DESC LIMIT 1")
                            .arg(jobId));
  BackupRow row;
  if (!query.next()) return row;
  row.exists = true;
  row.status = query.value(0).toInt();
  row.modifiedFiles = query.value(1).toInt();
  row.errors = query.value(2).toInt();
  row.limitExceeded = query.value(3).toBool();
  row.lastTime = query.value(4);
  return row;
}

int BackupE2E::rowCount(std::int64_t jobId) {
  return scalar(QString("SELECT COUNT(*) FROM backup WHERE job_id=%1").arg(jobId)).toInt();
}

QVariant BackupE2E::recordedLastWrite(std::int64_t jobId, const QString& path) {
  QSqlQuery query(database().database());
  query.prepare("SELECT lastwrite FROM file WHERE job_id=? AND path=?");
  query.addBindValue(qlonglong(jobId));
  query.addBindValue(path);
  EXPECT_TRUE(query.exec());
  return query.next() ? query.value(0) : QVariant();
}

QString BackupE2E::signaturePath(std::int64_t jobId, const QString& path,
                                 std::int64_t lastWrite) const {
  // MD5 of the path as UTF-16LE, in hexadecimal, split into two folder
  // levels of two digits each.
  const QByteArray utf16(reinterpret_cast<const char*>(path.utf16()), path.size() * 2);
  const QString hex =
      QString::fromLatin1(QCryptographicHash::hash(utf16, QCryptographicHash::Md5).toHex());
  return QString("%1/%2/%3/%4/%5%6.sig")
      .arg(signaturesDir())
      .arg(jobId)
      .arg(hex.left(2), hex.mid(2, 2), hex.mid(4))
      .arg(lastWrite);
}

bool BackupE2E::boxGotReport(std::uint32_t code, std::uint32_t packetType) {
  return record().notes().contains(QString("report 0x%1 code 0x%2")
                                       .arg(packetType, 8, 16, QChar('0'))
                                       .arg(code, 8, 16, QChar('0')));
}

}  // namespace kvn_e2e
