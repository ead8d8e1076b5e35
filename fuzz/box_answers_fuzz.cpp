// Arbitrary answers of the box, packet by packet, to the agent's side of a
// restoration, an external deletion, a deletion and the backup run's
// actions, over a scripted channel. Nothing may crash, hang or allocate
// without bound, and a restoration writes nothing outside its target
// folder and leaves no staged file behind.
//
// Input: u8 conversation, then the packets the box sends in the form of
// kvn_test::ScriptedChannel.
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSqlQuery>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "backup/actionanswer.h"
#include "connection/credentials.h"
#include "connection/zlvnetwork.h"
#include "database/agentdatabase.h"
#include "fileops/deletion.h"
#include "fileops/externaldeletion.h"
#include "fileops/externalrestoration.h"
#include "filesystem/restorestaging.h"
#include "fuzz_support.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "scripted_channel.h"

namespace {

using kvn_test::ScriptedChannel;

[[noreturn]] void finding(const char* what, const QString& detail = {}) {
  std::fprintf(stderr, "finding: %s %s\n", what, qPrintable(detail));
  std::abort();
}

// The process's database and folders, made once.
struct Sandbox {
  QString root;
  QString target;
  QString signatures;
  Credentials* credentials = nullptr;
  QSqlDatabase db;
};

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
        path.startsWith(s.root + "/zlv.") || path == s.target)
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  Sandbox& s = sandbox();
  ScriptedChannel channel(data + 1, size - 1);
  switch (data[0] % 4) {
    case 0: restore(s, channel); break;
    case 1: deleteExternally(s, channel); break;
    case 2: deleteOwn(s, channel); break;
    default: backupActions(s, channel); break;
  }
  return 0;
}
