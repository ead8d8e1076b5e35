// Arbitrary answers of the box, packet by packet, to the agent's side of a
// restoration, an external deletion, a deletion, the backup run's actions
// and a whole file backup run, over a scripted channel. Nothing may crash,
// hang or allocate without bound; a restoration writes nothing outside its
// target folder and leaves no staged file behind; a backup run closes its
// row and leaves no signature half-written.
//
// Input: u8 conversation, then the packets the box sends in the form of
// kvn_test::ScriptedChannel. A file backup run takes one more byte before
// the packets: the agent's state of each file of the tree (see
// plantFileStates). Its seeds are answers of the simulated box, recorded
// by the backup end-to-end test RecordedAnswers (KVN_RECORD_ANSWERS_TO).
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSqlQuery>
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "agent_backup_setup.h"
#include "backup/actionanswer.h"
#include "backup/backup.h"
#include "connection/credentials.h"
#include "connection/zlvnetwork.h"
#include "database/agentdatabase.h"
#include "database/signaturefile.h"
#include "fileops/deletion.h"
#include "fileops/externaldeletion.h"
#include "fileops/externalrestoration.h"
#include "filesystem/restorestaging.h"
#include "fuzz_support.h"
#include "kvn_common/atomic_file_sink.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_rsync/block_length.h"
#include "kvn_rsync/signature_engine.h"
#include "kvn_vss/vss_import.h"
#include "replay_tree.h"
#include "scripted_channel.h"

namespace {

using kvn_test::ScriptedChannel;

constexpr std::int64_t kFileJob = 43;

[[noreturn]] void finding(const char* what, const QString& detail = {}) {
  std::fprintf(stderr, "finding: %s %s\n", what, qPrintable(detail));
  std::abort();
}

// One file of the backup run's tree: on disk as in the second round, and
// the agent's signature of its first round.
struct TreeFile {
  QString path;
  std::int64_t firstWrite = 0;
  QByteArray firstSignature;
  // Every signature a run may write or download for the file: those of its
  // two rounds and their temporary names.
  QStringList signatures;
};

// The process's database and folders, made once.
struct Sandbox {
  QString root;
  QString target;
  QString signatures;
  Credentials* credentials = nullptr;
  QSqlDatabase db;
  std::vector<TreeFile> tree;
};

// The signature the agent keeps of content.
QByteArray signatureOf(const QByteArray& content) {
  struct Kept : kvn_common::StreamSink {
    QByteArray bytes;
    void write(const char* data, std::uint32_t size) override { bytes.append(data, size); }
    void end() override {}
  } kept;
  kvn_rsync::SignatureEngine engine(kvn_rsync::blockLength(std::uint64_t(content.size())));
  engine.setNext(&kept);
  engine.write(content.constData(), std::uint32_t(content.size()));
  engine.end();
  return kept.bytes;
}

// The tree of the recorded runs (kvn_test::replayTree) in its second round,
// and the file backup job that selects its files one by one.
void makeFileJob(Sandbox& s) {
  kvn_test::FileBackupJob job;
  job.jobId = kFileJob;
  job.useCrypto = false;
  job.useCompression = false;
  job.maxVersions = 5;
  for (const auto& file : kvn_test::replayTree()) {
    const QString path = s.root + "/backup/" + file.name;
    QFile written(path);
    if (!QDir().mkpath(s.root + "/backup") || !written.open(QIODevice::WriteOnly) ||
        written.write(file.second) != file.second.size() || !written.flush())
      finding("cannot write the tree", path);
    const QDateTime lastWrite = QDateTime::fromSecsSinceEpoch(file.secondWrite);
    if (!written.setFileTime(lastWrite, QFileDevice::FileModificationTime))
      finding("cannot set the last write of", path);
    QStringList signatures;
    for (const std::time_t lastWrite : {file.firstWrite, file.secondWrite}) {
      const QString signature =
          kvn_agent_database::signatureFilePath(QDir(s.signatures), path, lastWrite, kFileJob);
      signatures << signature << signature + kvn_common::AtomicFileSink::kPartSuffix;
    }
    s.tree.push_back({path, file.firstWrite, signatureOf(file.first), signatures});
    job.selected << path;
  }
  if (const QString failure = kvn_test::addFileBackupJob(job); !failure.isEmpty())
    finding("cannot add the job", failure);
  // The snapshot library the service loads: it reads these files live. Its
  // own logger writes every snapshot to standard output at its default
  // level; the fuzzer reports on standard error.
  if (!kvn_vss::loadVssLibrary(QStringLiteral(KVN_VSS_LINUX_LIBRARY)))
    finding("cannot load the snapshot library");
  if (!std::freopen("/dev/null", "w", stdout)) finding("cannot silence standard output");
}

Sandbox& sandbox() {
  static Sandbox* made = [] {
    kvn_fuzz::quietLog();
    static int argc = 1;
    static char name[] = "box_answers_fuzz";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    auto* s = new Sandbox;
    // In memory where there is a tmpfs: each input commits several times.
    const QDir base(QDir("/dev/shm").exists() ? QStringLiteral("/dev/shm") : QDir::tempPath());
    s->root = base.filePath(QString("box_answers_fuzz-%1").arg(QCoreApplication::applicationPid()));
    QDir(s->root).removeRecursively();
    s->target = s->root + "/target";
    s->signatures = s->root + "/Signatures";
    if (!QDir().mkpath(s->target) || !QDir().mkpath(s->signatures))
      finding("cannot make the sandbox", s->root);
    auto& agent = kvn_agent_database::AgentDatabase::instance();
    const QString path = s->root + "/zlv.db";
    if (!agent.createDB(path) || !agent.openDB(path)) finding("cannot create the database");
    s->db = agent.database();
    QSqlQuery(s->db).exec("PRAGMA synchronous=OFF");
    s->credentials = new Credentials(s->root + "/zlv.ini");
    makeFileJob(*s);
    std::atexit([] { QDir(sandbox().root).removeRecursively(); });
    return s;
  }();
  return *made;
}

FileOperationContext contextFor(Sandbox& s, ScriptedChannel& channel) {
  FileOperationContext context;
  context.credentials = s.credentials;
  context.signaturesDir = QDir(s.signatures);
  context.connect = [&s, &channel](bool) {
    return std::make_unique<CZLVNetwork>(
        channel, *s.credentials, ChannelKeys{kvn_crypto::Bytes(32, 7), kvn_crypto::Bytes(32, 9)});
  };
  return context;
}

// The records an external deletion or a deletion may forget.
void plantRecords(Sandbox& s) {
  QSqlQuery query(s.db);
  query.exec("DELETE FROM file");
  query.exec("DELETE FROM suppression");
  for (int job = 1; job <= 2; ++job)
    for (const char* path : {"/data/a.txt", "/data/b/c.txt", "/data/\xc3\xa9.bin"})
      query.exec(QString("INSERT INTO file (path, job_id, lastwrite) VALUES ('%1', %2, 1000)")
                     .arg(QString::fromUtf8(path))
                     .arg(job));
}

void restore(Sandbox& s, ScriptedChannel& channel) {
  ExternalRestoration restoration(s.target, "op-fuzz", contextFor(s, channel));
  restoration.execute(s.db);
  // Everything the run wrote lies below the target, and nothing staged
  // outlives it.
  QDirIterator it(s.root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                  QDirIterator::Subdirectories);
  while (it.hasNext()) {
    const QString path = it.next();
    if (it.fileName().startsWith(kvn_agent_filesystem::kRestoreStagingPrefix))
      finding("staged file left", path);
    if (path.startsWith(s.target + "/") || path.startsWith(s.signatures) ||
        path.startsWith(s.root + "/zlv.") || path == s.target || path == s.root + "/backup" ||
        std::any_of(s.tree.cbegin(), s.tree.cend(),
                    [&](const TreeFile& file) { return file.path == path; }))
      continue;
    finding("written outside the target", path);
  }
  QDir(s.target).removeRecursively();
  QDir().mkpath(s.target);
}

void deleteExternally(Sandbox& s, ScriptedChannel& channel) {
  plantRecords(s);
  ExternalDeletion deletion("op-fuzz", contextFor(s, channel));
  deletion.execute(s.db);
}

void deleteOwn(Sandbox& s, ScriptedChannel& channel) {
  plantRecords(s);
  Deletion deletion("op-fuzz", 1, {{"/data/a.txt", 1}, {"/data/b/c.txt", 2}},
                    contextFor(s, channel));
  deletion.execute(s.db);
}

void backupActions(Sandbox& s, ScriptedChannel& channel) {
  CZLVNetwork network(channel, *s.credentials, ChannelKeys{});
  try {
    readPrepAnswer(network);
  } catch (const KvnNotPermittedException&) {
  }
  for (const char* action : {"PREPOST", "INI", "END"}) readActionAnswer(network, action);
  readFinalAnswer(network);
}

// What the agent knows of the tree before the run, two bits a file (the
// first file in the lowest): 0 nothing (a new file), 1 its first round with
// the signature, 2 its first round without the signature (downloaded), 3 a
// record without a last write.
void plantFileStates(Sandbox& s, std::uint8_t states) {
  QSqlQuery query(s.db);
  query.exec("DELETE FROM file");
  query.exec("DELETE FROM backup");
  for (std::size_t i = 0; i < s.tree.size(); ++i) {
    const TreeFile& file = s.tree[i];
    for (const QString& signature : file.signatures) QFile::remove(signature);
    const int state = (states >> (2 * i)) & 3;
    if (state == 0) continue;
    query.prepare("INSERT INTO file (path, job_id, lastwrite) VALUES (?, ?, ?)");
    query.addBindValue(file.path);
    query.addBindValue(qlonglong(kFileJob));
    query.addBindValue(state == 3 ? 0 : qlonglong(file.firstWrite));
    if (!query.exec()) finding("cannot plant a record", file.path);
    if (state != 1) continue;
    const QString& signature = file.signatures.front();
    QFile written(signature);
    if (!QDir().mkpath(QFileInfo(signature).path()) || !written.open(QIODevice::WriteOnly) ||
        written.write(file.firstSignature) != file.firstSignature.size())
      finding("cannot plant a signature", signature);
  }
}

void backupFiles(Sandbox& s, const std::uint8_t* data, std::size_t size) {
  if (size < 1) return;
  plantFileStates(s, data[0]);
  ScriptedChannel channel(data + 1, size - 1);
  BackupEnvironment environment;
  environment.signaturesDir = QDir(s.signatures);
  environment.workerDir = QDir(s.root + "/backup/scripts");
  environment.credentials = s.credentials;
  environment.connect = [&s, &channel](bool) {
    return std::make_unique<CZLVNetwork>(channel, *s.credentials,
                                         ChannelKeys{kvn_crypto::Bytes(32, 7), {}});
  };
  {
    Backup backup(BackupRequest{kFileJob, false}, environment);
    backup.run();
  }
  // Whatever the box said, the run's row is closed (or gone when the box
  // did not permit the run), and no signature is left half-written.
  QSqlQuery open(s.db);
  if (!open.exec("SELECT COUNT(*) FROM backup WHERE last_time IS NULL") || !open.next())
    finding("cannot read the backup rows");
  if (open.value(0).toInt() != 0) finding("backup row left open");
  for (const TreeFile& file : s.tree) {
    for (const QString& signature : file.signatures) {
      if (signature.endsWith(QLatin1String(kvn_common::AtomicFileSink::kPartSuffix)) &&
          QFileInfo::exists(signature))
        finding("signature left half-written", signature);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  Sandbox& s = sandbox();
  if (data[0] % 5 == 4) {
    backupFiles(s, data + 1, size - 1);
    return 0;
  }
  ScriptedChannel channel(data + 1, size - 1);
  switch (data[0] % 5) {
    case 0: restore(s, channel); break;
    case 1: deleteExternally(s, channel); break;
    case 2: deleteOwn(s, channel); break;
    default: backupActions(s, channel); break;
  }
  return 0;
}
