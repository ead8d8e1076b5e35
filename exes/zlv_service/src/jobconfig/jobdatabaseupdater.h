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

#include "connection/zlvnetwork.h"
#include "database/scopedconnection.h"
#include "jobconfig/jobconfigcontext.h"
#include "kvn_network/job_config_protocol.h"

class JobDatabaseUpdater {
 public:
  static constexpr std::uint32_t kJobConfigRequestType = kvn_network::kJobConfigRequestType;
  static constexpr std::uint32_t kJobFileRequestType = kvn_network::kJobFileRequestType;
  static constexpr std::uint32_t kJobFileAppliedType = kvn_network::kJobFileAppliedType;
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
