// One download of the box's job configuration: the box sends every job,
// schedule, selection and script as a file of SQL statements, one per line,
// which replaces the local job tables. The wipe and the file's statements
// run in one transaction, confined to the job tables, so that a file that
// fails part-way (or tries to touch anything else) leaves the previous jobs
// in force.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "database/scopedconnection.h"
#include "jobconfig/jobconfigcontext.h"
#include "zlvnetwork.h"

class JobDatabaseUpdater {
 public:
  static constexpr std::uint32_t kJobConfigRequestType = 0x70000001;
  static constexpr std::uint32_t kJobFileRequestType = 0x70000005;
  static constexpr std::uint32_t kJobFileAppliedType = 0x70000006;
  static constexpr const char* kJobFileName = "SqlAllJobFile.sql";

  // Chooses the box (or the datanode) and opens the database connection
  // "JobMgt-<name>". Throws what the connection facade throws.
  JobDatabaseUpdater(const QString& name, const JobConfigContext& context);

  // Connects and announces "PRZ_INITIAL".
  std::uint32_t initialize();

  // The whole exchange; reset tells the box that the agent was reset, and
  // the flag is cleared once the update succeeded.
  std::uint32_t updateJobs(bool reset);

  // Its steps. Outside updateJobs the two database steps run without a
  // transaction of their own.
  std::uint32_t downloadJobsFile(QString& path);
  std::uint32_t deleteLocalJobs();
  std::uint32_t setupJobsFromFile(const QString& path);

  QSqlDatabase& database() { return connection_.db(); }

 private:
  // Wipe and refill in one transaction.
  std::uint32_t replaceJobs(const QString& path);

  JobConfigContext context_;
  CZLVNetwork network_;
  kvn_agent_database::ScopedConnection connection_;
};
