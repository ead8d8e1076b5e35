#include "database/agentdatabase.h"

#include <QCoreApplication>
#include <QFile>
#include <QSqlError>
#include <QSqlQuery>

#include "database/privatefile.h"
#include "database/schema.h"
#include "kvn_log/log.h"

// The schema scripts are compiled into a static library; nothing else would
// pull their registration into the program.
static void initSchemaResources() { Q_INIT_RESOURCE(agent_database_sql); }

namespace kvn_agent_database {

AgentDatabase::AgentDatabase() {
  initSchemaResources();
  QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", kDefaultConnection);
  db.setConnectOptions(kConnectOptions);
  if (QCoreApplication::instance()) qAddPostRoutine(&AgentDatabase::removeDefaultConnection);
}

AgentDatabase& AgentDatabase::instance() {
  static AgentDatabase database;
  return database;
}

void AgentDatabase::removeDefaultConnection() {
  if (!QSqlDatabase::contains(kDefaultConnection)) return;
  QSqlDatabase::database(kDefaultConnection, false).close();
  QSqlDatabase::removeDatabase(kDefaultConnection);
}

QSqlDatabase AgentDatabase::database() const {
  return QSqlDatabase::database(kDefaultConnection, false);
}

bool AgentDatabase::createDB(const QString& path) {
  KLOG_I("createDB %s", qPrintable(path));
  QSqlDatabase db = database();
  db.close();
  if (QFile::exists(path) && !QFile::remove(path)) {
    KLOG_E("previous version of the dadabase \"%s\" already exists and cannot be removed",
           qPrintable(path));
    return false;
  }
  // An empty file is a valid empty database; making it first keeps the
  // shared key out of reach of other users from the start.
  if (!createPrivateFile(path)) {
    KLOG_E("cannot create database \"%s\" (%s)", qPrintable(path), "cannot create the file");
    return false;
  }
  db.setDatabaseName(path);
  if (!db.open()) {
    KLOG_E("cannot create database \"%s\" (%s)", qPrintable(path),
           qPrintable(db.lastError().text()));
    return false;
  }
  return executeScript(db, kCreateScript);
}

bool AgentDatabase::openDB(const QString& path) {
  QSqlDatabase db = database();
  db.close();
  db.setDatabaseName(path);
  // SQLite would make an empty database of a missing file; only createDB
  // makes databases.
  if (!QFile::exists(path) || !db.open()) {
    KLOG_E("cannot open database (%s)", qPrintable(path));
    return false;
  }
  if (!migrate(db)) {
    KLOG_E("failed to update database");
    return false;
  }
  // Readers no longer block the writer, and a commit appends to the log
  // instead of rewriting pages; an old SQLite that refuses keeps its journal.
  QSqlQuery wal(db);
  if (!wal.exec(QStringLiteral("PRAGMA journal_mode=WAL;"))) {
    KLOG_W("cannot switch the database to write-ahead logging: %s",
           qPrintable(wal.lastError().text()));
  }
  restrictToOwner(path);
  return true;
}

QSqlDatabase AgentDatabase::namedConnection(const QString& name) const {
  std::lock_guard lock(mutex_);
  if (QSqlDatabase::contains(name)) {
    QSqlDatabase db = QSqlDatabase::database(name, false);
    if (!db.isOpen()) db.open();
    return db;
  }
  return QSqlDatabase::cloneDatabase(kDefaultConnection, name);
}

std::uint32_t AgentDatabase::run(Operation& operation) {
  QSqlDatabase db = database();
  return operation.run(db);
}

}  // namespace kvn_agent_database
