// A job file from the box, run the way the download runs it, on the agent's
// real schema. Whatever the statements are, none may change a row outside
// the job tables, change the schema or a pragma the database depends on,
// go on after ending the surrounding transaction, or carry a value out of another table
// into a job table: any of these aborts the run as a finding.
//
// Input: the file's bytes (statements, one per line).
#include <sqlite3.h>

#include <QCoreApplication>
#include <QDir>
#include <QSqlDriver>
#include <QSqlQuery>
#include <QSqlRecord>
#include <QStringList>
#include <QVariant>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "database/agentdatabase.h"
#include "fuzz_support.h"
#include "jobconfig/jobfileconfinement.h"
#include "jobconfig/jobfilestatements.h"

namespace {

// Kept in a table the job file must not read.
constexpr const char* kCanary = "canary-5e1f0c7d";
const char* const kJobTables[] = {"job",
                                  "scheduler",
                                  "sel_tem",
                                  "job_x_sel_tem",
                                  "pattern",
                                  "pattern_x_sel_tem",
                                  "prepost_backup_script"};

[[noreturn]] void finding(const char* what, const QString& detail = {}) {
  std::fprintf(stderr, "job file escaped its tables: %s %s\n", what, qPrintable(detail));
  std::abort();
}

sqlite3* handleOf(const QSqlDatabase& db) {
  return *static_cast<sqlite3* const*>(db.driver()->handle().constData());
}

QStringList column(const QSqlDatabase& db, const QString& statement) {
  QSqlQuery query(db);
  QStringList out;
  if (!query.exec(statement)) finding("cannot read back", statement);
  while (query.next()) {
    QStringList values;
    for (int i = 0; i < query.record().count(); ++i) values << query.value(i).toString();
    out << values.join(u'|');
  }
  return out;
}

// Everything about the database that a job file must leave alone.
QStringList shape(const QSqlDatabase& db) {
  return column(db, "SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name") +
         column(db, "SELECT type, name FROM sqlite_temp_master ORDER BY name") +
         column(db, "PRAGMA user_version") + column(db, "PRAGMA foreign_keys") +
         column(db, "PRAGMA journal_mode") + column(db, "PRAGMA database_list");
}

void onRowChange(void*, int, const char* database, const char* table, sqlite3_int64) {
  if (::strcmp(database, "main") != 0 || !JobFileConfinement::isJobTable(table))
    finding("row changed in", QString("%1.%2").arg(database, table));
}

struct Database {
  QSqlDatabase db;
  QStringList shape;
};

Database& database() {
  static Database* made = [] {
    kvn_fuzz::quietLog();
    static int argc = 1;
    static char name[] = "jobfile_fuzz";
    static char* argv[] = {name, nullptr};
    new QCoreApplication(argc, argv);
    static const QString path = QDir::temp().filePath(
        QString("jobfile_fuzz-%1.db").arg(QCoreApplication::applicationPid()));
    QFile::remove(path);
    auto& agent = kvn_agent_database::AgentDatabase::instance();
    if (!agent.createDB(path) || !agent.openDB(path)) finding("cannot create the database");
    auto* d = new Database{agent.database(), {}};
    QSqlQuery query(d->db);
    if (!query.exec("CREATE TABLE canary (secret TEXT)") ||
        !query.exec(QString("INSERT INTO canary VALUES ('%1')").arg(kCanary)))
      finding("cannot plant the canary");
    d->shape = shape(d->db);
    std::atexit([] {
      database().db.close();
      for (const char* suffix : {"", "-journal", "-wal", "-shm"}) QFile::remove(path + suffix);
    });
    return d;
  }();
  return *made;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Database& d = database();
  if (!d.db.transaction()) finding("cannot begin");
  sqlite3_update_hook(handleOf(d.db), &onRowChange, nullptr);
  const std::uint32_t result = runJobFileStatements(
      d.db, QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
  sqlite3_update_hook(handleOf(d.db), nullptr, nullptr);

  // "OR ROLLBACK" on a conflict ends the transaction with everything in it;
  // the failing statement must then be the last one run.
  const bool ended = sqlite3_get_autocommit(handleOf(d.db)) != 0;
  if (ended && result == 0) finding("statements ran after the transaction ended");
  for (const char* table : kJobTables) {
    for (const QString& row : column(d.db, QString("SELECT * FROM %1").arg(table)))
      if (row.contains(kCanary)) finding("canary copied into", table);
  }
  if (shape(d.db) != d.shape) finding("schema or pragmas changed");
  if (!ended && !d.db.rollback()) finding("cannot roll back");
  return 0;
}
