// A unit of work run against one database connection; the agent database
// runs it on its default connection.
#pragma once

#include <cstdint>

class QSqlDatabase;

namespace kvn_agent_database {

class Operation {
 public:
  virtual ~Operation() = default;
  // 0 on success, else a result code.
  virtual std::uint32_t run(QSqlDatabase& db) = 0;
};

}  // namespace kvn_agent_database
