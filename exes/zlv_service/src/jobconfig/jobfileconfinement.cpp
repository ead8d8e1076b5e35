#include "jobconfig/jobfileconfinement.h"

#include <sqlite3.h>
#include <strings.h>

#include <QSqlDriver>
#include <QVariant>
#include <iterator>

#include "kvn_log/log.h"

namespace {

constexpr const char* kJobTables[] = {
    "job",
    "scheduler",
    "sel_tem",
    "job_x_sel_tem",
    "pattern",
    "pattern_x_sel_tem",
    "prepost_backup_script",
};

// Built-in functions that reach beyond the statement's own values.
constexpr const char* kRefusedFunctions[] = {"load_extension", "fts3_tokenizer", "readfile",
                                             "writefile", "edit"};

bool equalsIgnoringCase(const char* a, const char* b) {
  return a != nullptr && b != nullptr && ::strcasecmp(a, b) == 0;
}

// SQLite names no database for some reads (COUNT(*) of a whole table); with
// ATTACH refused and no temporary tables, such a table can only be in main.
bool inMainJobTable(const char* table, const char* database) {
  return JobFileConfinement::isJobTable(table) &&
         (database == nullptr || equalsIgnoringCase(database, "main"));
}

bool refusedFunction(const char* name) {
  for (const char* refused : kRefusedFunctions) {
    if (equalsIgnoringCase(name, refused)) return true;
  }
  return false;
}

// Plain reads and row changes of the job tables, and the expressions such
// statements are made of; nothing else.
int authorize(void*, int action, const char* first, const char* second, const char* database,
              const char*) {
  bool allowed = false;
  switch (action) {
    case SQLITE_SELECT: allowed = true; break;
    case SQLITE_INSERT:
    case SQLITE_UPDATE:
    case SQLITE_DELETE:
    case SQLITE_READ: allowed = inMainJobTable(first, database); break;
    case SQLITE_FUNCTION: allowed = !refusedFunction(second); break;
    default: break;
  }
  if (!allowed && kvn_log::enabled(kvn_log::Debug)) {
    KLOG_D("job file statement refused: action %d (%s %s)", action, first ? first : "-",
           second ? second : "-");
  }
  return allowed ? SQLITE_OK : SQLITE_DENY;
}

sqlite3* sqliteHandle(const QSqlDatabase& db) {
  if (db.driver() == nullptr) return nullptr;
  const QVariant handle = db.driver()->handle();
  if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0) return nullptr;
  return *static_cast<sqlite3* const*>(handle.constData());
}

}  // namespace

JobFileConfinement::JobFileConfinement(const QSqlDatabase& db) : handle_(sqliteHandle(db)) {
  if (handle_ != nullptr && sqlite3_set_authorizer(handle_, &authorize, nullptr) != SQLITE_OK)
    handle_ = nullptr;
}

JobFileConfinement::~JobFileConfinement() {
  if (handle_ != nullptr) sqlite3_set_authorizer(handle_, nullptr, nullptr);
}

bool JobFileConfinement::isJobTable(const char* table) {
  for (const char* name : kJobTables) {
    if (equalsIgnoringCase(table, name)) return true;
  }
  return false;
}
