#include "boxsim/file_operation_handlers.h"

namespace boxsim {

bool FileOperationsBox::prepareRestoration(const QString& operationId, const RestorePlan& plan) {
  const bool any = !restoreList(plan).empty();
  std::lock_guard<std::mutex> lock(mutex_);
  restorations_[operationId] = plan;
  return any;
}

std::optional<RestorePlan> FileOperationsBox::restoration(const QString& operationId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = restorations_.find(operationId);
  if (it == restorations_.end()) return std::nullopt;
  return it->second;
}

std::vector<StoredVersion> FileOperationsBox::restoreList(const RestorePlan& plan) const {
  BackupStore& store = backups_->store();
  QStringList paths = plan.files;
  if (paths.isEmpty())
    for (const StoredVersion& v : store.newestVersions(plan.jobId)) paths << v.path;
  std::vector<StoredVersion> list;
  for (const QString& path : paths) {
    const std::vector<StoredVersion> versions = store.versions(plan.jobId, path);
    if (versions.empty()) continue;
    const bool chosen = plan.version > 0 && plan.version <= int(versions.size());
    list.push_back(chosen ? versions[plan.version - 1] : versions.back());
  }
  return list;
}

void FileOperationsBox::prepareExternalDeletion(
    const QString& operationId, std::vector<std::pair<std::int64_t, QString>> files) {
  std::lock_guard<std::mutex> lock(mutex_);
  externalDeletions_[operationId] = std::move(files);
}

std::optional<std::vector<std::pair<std::int64_t, QString>>> FileOperationsBox::externalDeletion(
    const QString& operationId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = externalDeletions_.find(operationId);
  if (it == externalDeletions_.end()) return std::nullopt;
  return it->second;
}

void FileOperationsBox::refuseDeletions(std::uint32_t code, const QString& text) {
  std::lock_guard<std::mutex> lock(mutex_);
  refusal_ = {code, text};
}

std::pair<std::uint32_t, QString> FileOperationsBox::deletionRefusal() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return refusal_;
}

void FileOperationsBox::addResult(RestoreResult result) {
  std::lock_guard<std::mutex> lock(mutex_);
  results_.push_back(std::move(result));
}

std::vector<RestoreResult> FileOperationsBox::results() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return results_;
}

void FileOperationsBox::addDeleted(std::int64_t jobId, const QString& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  deleted_.emplace_back(jobId, path);
}

std::vector<std::pair<std::int64_t, QString>> FileOperationsBox::deleted() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return deleted_;
}

}  // namespace boxsim
