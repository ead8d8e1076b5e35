#include "crash_harness.h"

#include <signal.h>

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QUuid>
#include <QVariant>
#include <algorithm>
#include <chrono>
#include <thread>

#include "boxsim/backup_store.h"
#include "boxsim/store_verifier.h"
#include "byte_tree.h"
#include "process_runner.h"

namespace kvn_crash {

namespace {

constexpr std::int64_t kJob = 1;
constexpr auto kRunLimit = std::chrono::seconds(120);

QByteArray noise(qsizetype size, std::uint32_t seed) {
  QByteArray data(size, Qt::Uninitialized);
  std::uint32_t x = seed * 2654435761u + 1;
  for (qsizetype i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    data[i] = char(x & 0xFF);
  }
  return data;
}

void writeFile(const QString& path, const QByteArray& content) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate)) << path.toStdString();
  ASSERT_EQ(file.write(content), content.size());
}

QByteArray readBytes(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Where the agent keeps the signature of one version of a file.
QString signatureOf(const QString& folder, const QString& path, std::int32_t lastWrite) {
  QByteArray utf16(reinterpret_cast<const char*>(path.utf16()), path.size() * 2);
  const QString hex =
      QString::fromLatin1(QCryptographicHash::hash(utf16, QCryptographicHash::Md5).toHex());
  return QString("%1/%2/%3/%4/%5%6.sig")
      .arg(folder)
      .arg(kJob)
      .arg(hex.left(2), hex.mid(2, 2), hex.mid(4))
      .arg(lastWrite);
}

QString readText(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

// A connection of its own for every query, closed before it returns, so
// that the test never holds the database while the agent writes.
class Db {
 public:
  explicit Db(const QString& path) : name_(QUuid::createUuid().toString()) {
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", name_);
    db.setDatabaseName(path);
    db.setConnectOptions("QSQLITE_OPEN_READONLY;QSQLITE_BUSY_TIMEOUT=10000");
    db.open();
  }
  ~Db() { QSqlDatabase::removeDatabase(name_); }
  QSqlDatabase db() const { return QSqlDatabase::database(name_, false); }

 private:
  QString name_;
};

}  // namespace

std::unique_ptr<QProcess> CrashHarness::startProgram(const QString& program,
                                                     const QStringList& arguments,
                                                     const QString& output) {
  auto process = std::make_unique<QProcess>();
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("ZLV_COMMON_APPDATA", data_);
  process->setProcessEnvironment(env);
  process->setStandardOutputFile(output, QIODevice::Append);
  process->setStandardErrorFile(output, QIODevice::Append);
  process->start(program, arguments);
  process->waitForStarted(10000);
  return process;
}

void CrashHarness::startBox(const QString& address) {
  dir_ = std::make_unique<kvn_test::TempDir>();
  const QString root = QString::fromStdString(dir_->path());
  address_ = address;
  data_ = root + "/agent";
  tree_ = root + "/tree";
  store_ = root + "/store";
  ctlPath_ = root + "/box.ctl";
  QDir().mkpath(data_);
  writeFile(tree_ + "/large/one.bin", noise(3 << 20, 1));
  writeFile(tree_ + "/large/two.bin", noise(2 << 20, 2));
  writeFile(tree_ + "/notes.txt", "first words\n");
  for (int i = 0; i < 4; ++i)
    writeFile(tree_ + QString("/small/%1.txt").arg(i), QByteArray(1000 + i, char('a' + i)));

  // One job over the tree that the scheduler never finds due on its own:
  // every run of these tests is asked for.
  writeFile(root + "/jobs.json",
            QString(R"({"jobs": [{"id": 1, "name": "crash", "type": "fsn", "use_crypto": true,
  "use_compression": true, "max_versions": 100, "created": %1,
  "pre_script": "echo ready", "schedule": {"every_hours": 24, "every_minutes": 0},
  "paths": ["%2/"]}]})")
                .arg(QDateTime::currentSecsSinceEpoch())
                .arg(tree_)
                .toUtf8());
  box_ = startProgram(BOXSIM_BINARY,
                      {"--listen", address, "--store", store_, "--jobs", root + "/jobs.json",
                       "--ctl", ctlPath_, "--cryptkey", "00112233445566778899aabbccddeeff"},
                      root + "/box.log");
  ASSERT_TRUE(
      kvn_test::waitFor([&] { return readText(root + "/box.log").contains("boxsim ready"); },
                        std::chrono::seconds(60)))
      << readText(root + "/box.log").toStdString();
  auto registration = startProgram(ZLV_SERVICE_BINARY, {"--register", address, "--foreground"},
                                   root + "/agent.log");
  ASSERT_TRUE(registration->waitForFinished(180000));
  ASSERT_EQ(registration->exitCode(), 0) << agentLog().toStdString();
}

void CrashHarness::TearDown() {
  if (agent_) killAgent();
  if (box_) {
    box_->terminate();
    if (!box_->waitForFinished(30000)) box_->kill();
  }
  if (const QString keep = qEnvironmentVariable("KVN_CRASH_KEEP_LOGS"); !keep.isEmpty() && dir_) {
    const QString root = QString::fromStdString(dir_->path());
    QFile::copy(root + "/box.log", keep + "/box.log");
    QFile::copy(root + "/agent.log", keep + "/agent.log");
  }
  if (HasFailure() && dir_) {
    const QString root = QString::fromStdString(dir_->path());
    std::printf("---- box log (tail)\n%s\n---- agent log (tail)\n%s\n",
                qPrintable(readText(root + "/box.log").right(6000)),
                qPrintable(agentLog().right(12000)));
    std::fflush(stdout);
  }
}

QString CrashHarness::agentLog() const {
  return readText(QString::fromStdString(dir_->path()) + "/agent.log");
}

void CrashHarness::startAgent() {
  ++agentStarts_;
  backupAtStart_ = newestBackup();
  const QStringList command = wrapper_ + QStringList{ZLV_SERVICE_BINARY, "--foreground"};
  agent_ = startProgram(command.first(), command.mid(1),
                        QString::fromStdString(dir_->path()) + "/agent.log");
  ASSERT_EQ(agent_->state(), QProcess::Running);
  const CtlResult connected = ctl({"wait-connected", "60"});
  ASSERT_EQ(connected.status, 0) << connected.output.toStdString();
}

void CrashHarness::killAgent() {
  if (!agent_) return;
  // processId() is 0 once the agent has gone: kill(0) would hit the test.
  if (const qint64 pid = agent_->processId(); pid > 0) ::kill(pid_t(pid), SIGKILL);
  agent_->waitForFinished(30000);
  agent_.reset();
}

void CrashHarness::stopAgent() {
  if (!agent_) return;
  agent_->terminate();
  if (!agent_->waitForFinished(60000))
    ADD_FAILURE() << "the agent did not stop on SIGTERM";
  else  // a crash on the way out must not pass for a stop
    EXPECT_TRUE(agent_->exitStatus() == QProcess::NormalExit && agent_->exitCode() == 0)
        << "the agent's end on SIGTERM: status " << int(agent_->exitStatus()) << ", code "
        << agent_->exitCode();
  killAgent();
}

CtlResult CrashHarness::ctl(const QStringList& args) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(BOXSIM_BINARY, QStringList{"ctl", "--ctl", ctlPath_} + args);
  process.waitForFinished(180000);
  return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
          QString::fromUtf8(process.readAll())};
}

qint64 CrashHarness::newestBackup() {
  // 0 too before the agent made its database (a read-only open fails).
  return scalar("SELECT COALESCE(MAX(id), 0) FROM backup;").toLongLong();
}

qint64 CrashHarness::launchBackup() {
  const qint64 before = newestBackup();
  const CtlResult launched = ctl({"launch-action", "backup", QString::number(kJob)});
  EXPECT_EQ(launched.status, 0) << launched.output.toStdString();
  return before;
}

std::optional<std::uint32_t> CrashHarness::waitBackupEnded(qint64 after) {
  std::optional<std::uint32_t> status;
  kvn_test::waitFor(
      [&] {
        Db db(database());
        QSqlQuery query(db.db());
        query.prepare(
            "SELECT id, status FROM backup WHERE last_time IS NOT NULL AND id > :after "
            "ORDER BY id LIMIT 1;");
        query.bindValue(":after", after);
        if (query.exec() && query.next()) {
          lastEnded_ = query.value(0).toLongLong();
          status = query.value(1).toUInt();
        }
        return status.has_value();
      },
      kRunLimit);
  return status;
}

std::optional<std::uint32_t> CrashHarness::backupAndWait() {
  return waitBackupEnded(launchBackup());
}

void CrashHarness::killBackupAt(const QString& point) {
  const CtlResult armed = ctl({"hold", point});
  ASSERT_EQ(armed.status, 0) << armed.output.toStdString();
  launchBackup();
  const CtlResult held = ctl({"wait-held", "90"});
  ASSERT_EQ(held.status, 0) << held.output.toStdString();
  killAgent();
  ctl({"trap-clear"});
  startAgent();
}

void CrashHarness::dropBackupAt(const QString& point) {
  const CtlResult armed = ctl({"drop", point});
  ASSERT_EQ(armed.status, 0) << armed.output.toStdString();
  const auto status = backupAndWait();
  ctl({"trap-clear"});
  ASSERT_TRUE(status.has_value()) << "the run into the dropped connection never ended";
}

void CrashHarness::changeTree(int round) {
  // Last writes travel in whole seconds, so a file rewritten at the same
  // size within the second of the version before it looks unchanged. Real
  // edits come later than that; a test's can come within the second.
  std::this_thread::sleep_until(
      std::chrono::ceil<std::chrono::seconds>(std::chrono::system_clock::now()));
  // New blocks before the old ones shift them (the size stays): a delta
  // that copies from the wrong basis rebuilds a wrong file.
  QFile large(tree_ + "/large/one.bin");
  ASSERT_TRUE(large.open(QIODevice::ReadOnly));
  const QByteArray old = large.readAll();
  large.close();
  writeFile(tree_ + "/large/one.bin", noise(100000, 100 + round) + old.left(old.size() - 100000));
  writeFile(tree_ + QString("/large/new-%1.bin").arg(round), noise(3 << 20, 200 + round));
  writeFile(tree_ + "/notes.txt", QString("round %1\n").arg(round).toUtf8());
}

int CrashHarness::openRows(qint64 upToBackup) {
  Db db(database());
  int open = 0;
  for (const char* table : {"backup", "restoration", "suppression"}) {
    QSqlQuery query(db.db());
    const QString bound =
        QString(table) == "backup" ? QString(" AND id <= %1").arg(upToBackup) : QString();
    if (query.exec(
            QString("SELECT COUNT(*) FROM %1 WHERE last_time IS NULL%2;").arg(table, bound)) &&
        query.next())
      open += query.value(0).toInt();
    else
      ADD_FAILURE() << "cannot count the rows of " << table;
  }
  return open;
}

QVariant CrashHarness::scalar(const QString& statement) {
  Db db(database());
  QSqlQuery query(db.db());
  if (!query.exec(statement) || !query.next()) return {};
  return query.value(0);
}

bool CrashHarness::waitOperationFinished(const QString& operationId) {
  return kvn_test::waitFor([&] { return agentLog().contains("[" + operationId + "] finished"); },
                           kRunLimit);
}

bool CrashHarness::boxHolds(const QString& path) const {
  const boxsim::BackupStore store(store_, boxsim::BackupStore::Access::ReadOnly);
  return !store.versions(kJob, path).empty();
}

QString CrashHarness::integrity() {
  Db db(database());
  QSqlQuery query(db.db());
  if (!query.exec("PRAGMA integrity_check;") || !query.next()) return "no answer";
  return query.value(0).toString();
}

QString CrashHarness::verify() {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(BOXSIM_BINARY, {"--store", store_, "--verify", tree_, "--job", "1"});
  process.waitForFinished(120000);
  return QString::fromUtf8(process.readAll()).trimmed().split('\n').last();
}

void CrashHarness::expectConsistent(bool fullRun) {
  // The start closed whatever the killed process left open. Runs above
  // are the agent's own since then.
  const qint64 settled = std::max(backupAtStart_, lastEnded_);
  EXPECT_EQ(openRows(settled), 0);
  if (fullRun) {
    // After a kill the scheduler may have started the job again already:
    // the launch is then ignored, and that run is the next one.
    launchBackup();
    const auto status = waitBackupEnded(settled);
    ASSERT_TRUE(status.has_value()) << "the run after the cut never ended";
    EXPECT_EQ(*status, 0x1001u);
    int files = 0;
    for (QDirIterator it(tree_, QDir::Files, QDirIterator::Subdirectories); it.hasNext(); it.next())
      ++files;
    EXPECT_EQ(verify().toStdString(), QString("%1 passed, 0 failed").arg(files).toStdString());
    // A retry that ended before the launch leaves the launched run going.
    EXPECT_TRUE(kvn_test::waitFor([&] { return openRows() == 0; }, kRunLimit));
  }
  EXPECT_EQ(integrity(), "ok");

  // Every record names a version the box holds, and the signature kept for
  // it is the one the box holds for that version.
  const boxsim::BackupStore store(store_, boxsim::BackupStore::Access::ReadOnly);
  Db db(database());
  QSqlQuery query(db.db());
  ASSERT_TRUE(query.exec("SELECT path, lastwrite FROM file WHERE job_id = 1;"));
  while (query.next()) {
    const QString path = query.value(0).toString();
    if (query.value(1).isNull()) continue;  // no version claimed
    const std::int32_t lastWrite = query.value(1).toInt();
    const auto versions = store.versions(kJob, path);
    const auto held = std::find_if(versions.begin(), versions.end(),
                                   [&](const auto& v) { return v.lastWrite == lastWrite; });
    if (held == versions.end()) {
      ADD_FAILURE() << "the record of " << path.toStdString() << " names last write " << lastWrite
                    << ", which the box does not hold";
      continue;
    }
    // A missing one is fetched from the box when it is needed.
    const QString kept = signatureOf(signatures(), path, lastWrite);
    if (QFileInfo::exists(kept)) {
      EXPECT_EQ(readBytes(kept), readBytes(held->signaturePath))
          << "the signature kept for " << path.toStdString() << " is not the box's";
    }
  }
  // A write cut short is never left where a signature is looked for.
  QDirIterator parts(signatures(), {"*.part"}, QDir::Files, QDirIterator::Subdirectories);
  EXPECT_FALSE(parts.hasNext()) << "left over: " << parts.next().toStdString();
}

}  // namespace kvn_crash
