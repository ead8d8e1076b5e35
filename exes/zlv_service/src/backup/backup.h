// One run of one backup job, from the insertion of its row in the backup
// table to the closing of that row with the final status. The kind of job
// (which data, how it is sent) is delegated to a Job.
#pragma once

#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "backup/backupmanager.h"
#include "backup/backuprequest.h"
#include "backup/job.h"
#include "connection/zlvnetwork.h"

class Backup : public BackupRun {
 public:
  enum ActionKind { Done = 0, BackupAction = 1, End = 3, Ini = 4, PrePost = 7 };

  Backup(const BackupRequest& request, const BackupEnvironment& environment);
  // Runs the post-backup script still owed, then closes the row (or
  // deletes it when the box did not permit the run).
  ~Backup() override;
  Backup(const Backup&) = delete;
  Backup& operator=(const Backup&) = delete;

  // The whole run: 0 or an error code.
  std::uint32_t run() override;

  // Sends an action packet (not PREP) and checks the answer.
  std::uint32_t SendBackupAction(int kind);
  // Its two halves, for an action that leaves before the answers it
  // follows are read: the request (0 or a code, logged) and the check of
  // the answer.
  std::uint32_t sendBackupActionRequest(int kind);
  std::uint32_t readBackupActionAnswer(int kind);
  // Writes the counters and status into the run's row. It runs for every
  // file, so a row that would not change is not written, and a change of
  // the modified-files count alone is written at most once a second (the
  // closing of the row writes the final counts).
  std::uint32_t UpdateBackupDB();
  // The box's answer at the end of a file or of the run.
  std::uint32_t CheckBackupResPacket();

  // Reports to the box on packetType: the stop report, or reportCode with
  // "$<textCode>: <message>". False when the report could not be sent.
  bool sendStopReport(std::uint32_t packetType, const QString& message = {});
  bool sendReport(std::uint32_t packetType, std::uint32_t reportCode, std::uint32_t textCode,
                  const QString& message = {});

  // Set by the backup manager from other threads.
  void requestStop(bool forUpgrade) override;
  bool stopRequested() const { return stop_.load(); }
  const std::atomic<bool>* stopFlag() const { return &stop_; }

  std::int64_t jobId() const { return jobId_; }
  std::int64_t backupId() const { return backupId_; }
  std::int32_t status() const { return status_; }
  std::uint32_t errors() const { return errors_; }
  void addError() { ++errors_; }
  // The run goes on but ends as finished with errors.
  void markWithErrors();
  void addModifiedFile() { ++modifiedFiles_; }

  bool useCrypto() const { return useCrypto_; }
  bool useCompression() const { return useCompression_; }
  std::int16_t maxVersions() const { return maxVersions_; }

  // Exists from the start of run(); it looks for a box that answers, which
  // must not hold up the manager that creates the run.
  CZLVNetwork& network() { return *network_; }
  const BackupEnvironment& environment() const { return environment_; }

 private:
  std::uint32_t loadConfiguration();
  std::uint32_t insertBackupDB();
  void loadPrePostScripts();
  std::uint32_t launchBackup();
  // Runs analysis, INI and the transfer; completed when all four steps
  // succeeded.
  std::uint32_t doBackup(bool& completed);
  std::uint32_t sendPrep();
  // Runs a script and reports its result; 0 or the exchange's failure.
  std::uint32_t runScript(int kind, const QString& script);
  std::uint32_t sendScriptResult(int kind, std::int32_t exitCode, const QString& output);
  // Sends an action packet: its name, then what addFields puts. 0 or
  // KVN_E_NETWORK (logged).
  std::uint32_t sendAction(const char* name,
                           const std::function<void(kvn_network::NetPacket&)>& addFields);
  std::uint32_t readActionAnswer(const char* action);
  void setStopStatus();
  // The status and counters the row's updates write.
  void bindCounters(QSqlQuery& query) const;
  void close();

  std::int64_t backupId_ = 0;
  std::int64_t jobId_;
  std::unique_ptr<Job> job_;
  QString preScript_;
  QString postScript_;
  bool preScriptDone_ = false;
  bool postScriptDone_ = false;
  bool notPermitted_ = false;
  bool limitExceeded_ = false;
  std::uint32_t modifiedFiles_ = 0;
  std::uint32_t errors_ = 0;
  std::int32_t status_ = 0;
  BackupTotals counters_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> stopForUpgrade_{false};
  BackupEnvironment environment_;
  BackupRequest request_;
  std::unique_ptr<CZLVNetwork> network_;
  std::int16_t maxVersions_ = 0;
  bool useCrypto_ = false;
  bool useCompression_ = false;
  QString connectionName_;
  QSqlDatabase db_;
  // UpdateBackupDB's statement, prepared once: it runs for every file.
  std::optional<QSqlQuery> countersQuery_;
  // What UpdateBackupDB wrote last (status, limit, modified files, errors)
  // and when.
  struct WrittenCounters {
    std::int32_t status;
    bool limitExceeded;
    std::uint32_t modifiedFiles;
    std::uint32_t errors;
    std::int64_t atMs;
  };
  std::optional<WrittenCounters> written_;
};
