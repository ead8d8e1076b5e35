// The agent's SQLite database: the process-wide default connection "zlvdb"
// used by the main thread, and named connections for every other thread.
#pragma once

#include <QSqlDatabase>
#include <QString>
#include <cstdint>
#include <mutex>

#include "database/operation.h"

namespace kvn_agent_database {

inline constexpr const char* kDefaultConnection = "zlvdb";
// A writer waits up to 60 s for another connection's lock instead of
// failing at once.
inline constexpr const char* kConnectOptions =
    "QSQLITE_BUSY_TIMEOUT=60000;QSQLITE_ENABLE_SHARED_CACHE=1";

class AgentDatabase {
 public:
  // Created on first use; the connection leaves the framework's registry
  // when the application object goes away.
  static AgentDatabase& instance();

  // Replaces any database at path with a new one holding the base schema
  // (version 0, so the next openDB applies every step).
  bool createDB(const QString& path);

  // Opens the existing database at path and brings its schema up to date.
  // A file that is not a database is reported and left as it is.
  bool openDB(const QString& path);

  // The default connection; only the main thread uses it.
  QSqlDatabase database() const;

  // The connection registered under name, or a clone of the default one
  // made under that name. The caller opens, closes and removes it (see
  // ScopedConnection); it belongs to the calling thread only.
  QSqlDatabase namedConnection(const QString& name) const;

  // Runs an operation on the default connection.
  std::uint32_t run(Operation& operation);

  static void removeDefaultConnection();

 private:
  AgentDatabase();

  mutable std::mutex mutex_;
};

// The name the rest of the agent knows the singleton by.
inline AgentDatabase& AgentDatabaseInstance() { return AgentDatabase::instance(); }

}  // namespace kvn_agent_database
