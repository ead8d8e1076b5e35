// Runs restorations and deletions one at a time, each on a thread of its
// own, and queues the others in arrival order. Backups ask it to push a
// deletion of their job aside and wait for the job's operations to end;
// the launch actions stop operations by id; before an upgrade it refuses
// new ones. The threads it starts are joined by finalize() at the latest.
#pragma once

#include <QList>
#include <QString>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "backup/fileoperationgate.h"
#include "fileops/deletion.h"
#include "fileops/fileoperation.h"
#include "threads/threadgroup.h"

class FileOperationManager : public FileOperationGate {
 public:
  // The target of a restoration that puts every file back where it was.
  static inline const QString kOriginalPath = QStringLiteral("ORIGINAL_PATH");

  explicit FileOperationManager(FileOperationContext context);
  // Finalizes.
  ~FileOperationManager() override;
  FileOperationManager(const FileOperationManager&) = delete;
  FileOperationManager& operator=(const FileOperationManager&) = delete;

  // Accepts operations again and starts the dispatcher of the pending
  // ones. 0.
  std::uint32_t initialize();
  // Refuses new operations, stops the running ones (not by the user),
  // drops the pending ones and joins every thread.
  void finalize();

  // Each: 0, or KVN_E_ARGUMENTS ("Error: arguments") for an operation id
  // shorter than 2 characters, an empty file list, a target shorter than 2
  // characters. 0 without doing anything while new operations are refused.
  std::uint32_t createDeletion(const QString& operationId, std::int64_t jobId,
                               const QList<DeletionFile>& files);
  std::uint32_t createExternalDeletion(const QString& operationId);
  // target: a folder with "|" or native separators, or kOriginalPath.
  std::uint32_t createExternalRestoration(const QString& target, const QString& operationId);
  // Runs or queues an operation built elsewhere; 0.
  std::uint32_t submit(std::unique_ptr<FileOperation> operation);

  // 0, or KVN_E_EXCEPTION ("Error: operation object not found") when no
  // running operation has the id. Pending operations cannot be stopped.
  std::uint32_t stop(const QString& operationId, bool byUser);
  // Stops the running operations one after the other and waits for each.
  void stopAll();
  void refuseNewOperations();

  unsigned runningCount() const;
  unsigned pendingCount() const;
  bool isRunning(const QString& operationId) const;
  bool isPending(const QString& operationId) const;
  bool operationRunningForJob(std::int64_t jobId) const;
  // Drops the job's pending operations; true when nothing of the job runs
  // any more or the running one (a deletion) was asked to stop.
  bool yieldForBackup(std::int64_t jobId);
  // Blocks until no running operation has the job id.
  void waitForJob(std::int64_t jobId);

  // The launch actions' forms: an empty target is the original place; a
  // stop for an upgrade is not a stop by the user.
  std::uint32_t startRestoration(const QString& operationId, const QString& target);
  std::uint32_t startDeletion(const QString& operationId);
  std::uint32_t stopOperation(const QString& operationId, bool forUpgrade);

  // What a backup run waits on.
  bool isRunning(std::int64_t jobId) override { return operationRunningForJob(jobId); }
  bool askToYield(std::int64_t jobId) override { return yieldForBackup(jobId); }
  void waitUntilIdle(std::int64_t jobId) override { waitForJob(jobId); }

 private:
  // The caller holds mutex_.
  std::uint32_t submitLocked(std::unique_ptr<FileOperation> operation);
  void start(std::unique_ptr<FileOperation> operation);
  bool runningForJobLocked(std::int64_t jobId) const;
  // Checks the id and the refusal; false when nothing is to be created,
  // with result set.
  bool mayCreate(const QString& operationId, bool argumentsOk, std::uint32_t& result) const;
  void runOperation(FileOperation* operation);
  void dispatch();

  FileOperationContext context_;
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<QString, std::unique_ptr<FileOperation>> running_;
  std::list<std::unique_ptr<FileOperation>> pending_;
  bool refusing_ = false;
  bool quitting_ = false;
  ThreadGroup threads_;
  std::thread dispatcher_;
};
