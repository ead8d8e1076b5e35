// Closes the backup, restoration and deletion runs that a previous process
// left open, so that nothing takes them for runs in progress.
#pragma once

#include "database/operation.h"

namespace kvn_agent_database {

class ResetUnfinishedOperations : public Operation {
 public:
  // Open rows get last_time 1 and the interrupted status of their table;
  // stops at the first failing statement with KVN_E_FAILED.
  std::uint32_t run(QSqlDatabase& db) override;
};

}  // namespace kvn_agent_database
