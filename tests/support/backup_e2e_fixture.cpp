#include "backup_e2e_fixture.h"

#include "agent_backup_setup.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
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

Transfers transfers(const boxsim::Record& record, std::size_t first, std::int64_t jobId) {
  Transfers kinds;
  const auto data = record.backupData();
  for (std::size_t i = first; i < data.size(); ++i) {
    if (data[i].jobId == jobId && data[i].complete) kinds.emplace(data[i].path, data[i].kind);
  }
  return kinds;
}

bool sent(const Transfers& kinds, const QString& path, std::uint32_t kind) {
  const auto [begin, end] = kinds.equal_range(path);
  for (auto it = begin; it != end; ++it) {
    if (it->second == kind) return true;
  }
  return false;
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

void BackupE2E::startBox(int n) { startBoxAt(QString("127.0.0.%1").arg(n)); }

void BackupE2E::startBoxAt(const QString& address) {
  box_ = std::make_shared<boxsim::BackupBox>(QString::fromStdString(dir_.file("store")));
  fileOperations_ = std::make_shared<boxsim::FileOperationsBox>(box_);
  boxsim::Registry registry;
  boxsim::addStoreHandlers(registry, fileOperations_);
  boxsim::SimulatorConfig config;
  config.address = address;
  config.identity = identity();
  config.settings = {5000, 60000};
  simulator_ = std::make_unique<boxsim::BoxSimulator>(std::move(registry), config);
  ASSERT_TRUE(simulator_->start()) << address.toStdString();

  const QString ini = data_ + "/zlv.ini";
  kvn_test::AgentPairing pairing;
  pairing.boxIp = address;
  pairing.cryptkey = QString::fromLatin1(kCryptkey);
  pairing.licenseStorage = kLicenceStorage;
  pairing.licenseAgent = kLicenceAgent;
  pairing.datanode = QStringLiteral("127.0.0.139");
  const QString written = kvn_test::writePairedSettings(ini, pairing);
  ASSERT_TRUE(written.isEmpty()) << written.toStdString();
  credentials_ = std::make_unique<Credentials>(ini);
  ASSERT_TRUE(credentials_->load());
}

void BackupE2E::addJob(std::int64_t id, const QStringList& selected, const JobSettings& settings) {
  kvn_test::FileBackupJob job;
  job.jobId = id;
  job.selected = selected;
  job.useCrypto = settings.crypto;
  job.useCompression = settings.compression;
  job.maxVersions = 5;
  job.jobType = settings.type;
  job.preScript = settings.preScript;
  job.excluded = settings.excluded;
  const QString failure = kvn_test::addFileBackupJob(job);
  ASSERT_TRUE(failure.isEmpty()) << failure.toStdString();
  const qlonglong jobId = id;
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

BackupEnvironment BackupE2E::environment() const {
  BackupEnvironment environment;
  environment.signaturesDir = QDir(signaturesDir());
  environment.workerDir = QDir(data_ + "/WorkerFolder");
  environment.credentials = credentials_.get();
  environment.network = ZlvNetworkSettings{5000, {5000, 60000}};
  environment.fileOperations = gate_;
  environment.connect = connect_;
  environment.listVolumes = volumeLister_;
  return environment;
}

RunOutcome BackupE2E::runBackup(std::int64_t jobId, const std::function<void(Backup&)>& during) {
  RunOutcome outcome;
  {
    Backup backup(BackupRequest{jobId, false}, environment());
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

ImageFigures BackupE2E::lastImageFigures(const QString& volume) const {
  const QRegularExpression line(
      QString("Volume %1: (\\d+) of (\\d+) bytes read, (\\d+) block\\(s\\) sent")
          .arg(QRegularExpression::escape(volume)));
  ImageFigures figures;
  auto it = line.globalMatch(QString::fromStdString(log()));
  while (it.hasNext()) {
    const auto match = it.next();
    figures = {match.captured(1).toULongLong(), match.captured(2).toULongLong(),
               match.captured(3).toULongLong()};
  }
  return figures;
}

}  // namespace kvn_e2e
