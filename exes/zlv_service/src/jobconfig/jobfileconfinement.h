// Keeps the statements of a downloaded job file inside the job tables.
// While an object lives, the connection's SQLite authorizer lets statements
// read and write the seven job tables only; anything else (schema changes,
// other tables, ATTACH, PRAGMA, transaction control, ...) fails to prepare
// with SQLite's "not authorized" error. The authorizer goes with the object,
// on every path.
#pragma once

#include <QSqlDatabase>
#include <QString>

struct sqlite3;

class JobFileConfinement {
 public:
  // Installs the authorizer on the connection's SQLite handle. Without a
  // SQLite handle nothing is installed and isActive() is false; the caller
  // must then not run the file.
  explicit JobFileConfinement(const QSqlDatabase& db);
  ~JobFileConfinement();
  JobFileConfinement(const JobFileConfinement&) = delete;
  JobFileConfinement& operator=(const JobFileConfinement&) = delete;

  bool isActive() const { return handle_ != nullptr; }

  // The tables a job file may touch, in lower case.
  static bool isJobTable(const char* table);

 private:
  sqlite3* handle_ = nullptr;
};
