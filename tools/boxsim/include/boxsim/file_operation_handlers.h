// The box's side of restorations, deletions and external deletions. A
// restoration or an external deletion is prepared first under an operation
// id (the box's own choice, passed to the agent by the launch action); the
// agent then announces the operation and asks for it by that id. Files come
// from, and deletions go to, the backup store.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "boxsim/backup_handlers.h"
#include "boxsim/handler.h"

namespace boxsim {

struct RestorePlan {
  std::int64_t jobId = 0;
  // Native paths; empty: every file of the job.
  QStringList files;
  // The version to send, 1 for the first; 0: the newest. A file with fewer
  // versions is sent at its newest.
  int version = 0;
  // What the launch action should carry (empty: the original places).
  QString target;
  // Faults: the data transfer of the restoration's k-th file (from 1) is
  // cut by closing the connection after closeAfterChunks data chunks;
  // 0: never.
  int closeInFile = 0;
  int closeAfterChunks = 0;
  // Chunks of the data transfers (the agent's own block size by default).
  std::uint32_t chunkSize = 0x100000;
};

// One file result the agent reported.
struct RestoreResult {
  QString operationId;
  QString path;  // native
  bool failed = false;
  QString text;
};

class FileOperationsBox {
 public:
  explicit FileOperationsBox(std::shared_ptr<BackupBox> backups) : backups_(std::move(backups)) {}

  BackupBox& backups() { return *backups_; }
  const std::shared_ptr<BackupBox>& sharedBackups() const { return backups_; }

  // Registers (or replaces) the restoration named operationId. False when
  // the job has none of the files.
  bool prepareRestoration(const QString& operationId, const RestorePlan& plan);
  std::optional<RestorePlan> restoration(const QString& operationId) const;
  // The versions the plan sends, in order.
  std::vector<StoredVersion> restoreList(const RestorePlan& plan) const;

  // The files an external deletion names, (job, native path) in order;
  // they leave the store as they are named.
  void prepareExternalDeletion(const QString& operationId,
                               std::vector<std::pair<std::int64_t, QString>> files);
  std::optional<std::vector<std::pair<std::int64_t, QString>>> externalDeletion(
      const QString& operationId) const;

  // The box refuses deletion starts with this code and text; 0: accepts.
  void refuseDeletions(std::uint32_t code, const QString& text = {});
  std::pair<std::uint32_t, QString> deletionRefusal() const;

  void addResult(RestoreResult result);
  std::vector<RestoreResult> results() const;
  // (job, native path) the agent asked to delete, in order.
  void addDeleted(std::int64_t jobId, const QString& path);
  std::vector<std::pair<std::int64_t, QString>> deleted() const;

 private:
  std::shared_ptr<BackupBox> backups_;
  mutable std::mutex mutex_;
  std::map<QString, RestorePlan> restorations_;
  std::map<QString, std::vector<std::pair<std::int64_t, QString>>> externalDeletions_;
  std::pair<std::uint32_t, QString> refusal_;
  std::vector<RestoreResult> results_;
  std::vector<std::pair<std::int64_t, QString>> deleted_;
};

// Registers the three conversations (replacing the generic confirmations
// of their types).
void addFileOperationHandlers(Registry& registry, std::shared_ptr<FileOperationsBox> box);

// Everything a box with a store serves: file transfers, operations and
// reports, backups, restorations and deletions.
void addStoreHandlers(Registry& registry, std::shared_ptr<FileOperationsBox> box);

}  // namespace boxsim
