// A copy of the agent database as one standalone file, for the box to take
// away. The database runs with a write-ahead log, so its main file alone
// lacks the commits still in the log: the copy is written by SQLite itself
// from one read transaction, and holds every commit made before it started
// and nothing of a transaction in progress.
#pragma once

#include <QString>
#include <cstdint>

namespace kvn_agent_database {

// Copies the database at source into target, which must be missing or
// empty, on a connection of its own named connectionName that is closed and
// removed before returning. 0, or KVN_E_FAILED with the failure logged.
std::uint32_t copyDatabase(const QString& source, const QString& target,
                           const QString& connectionName);

}  // namespace kvn_agent_database
