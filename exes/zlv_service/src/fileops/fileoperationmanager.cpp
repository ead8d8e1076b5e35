#include "fileops/fileoperationmanager.h"

#include "backup/file/selection.h"
#include "database/scopedconnection.h"
#include "fileops/externaldeletion.h"
#include "fileops/externalrestoration.h"
#include "kvn_log/errors.h"
#include "kvn_log/log.h"
#include "kvn_platform/process_setup.h"

FileOperationManager::FileOperationManager(FileOperationContext context)
    : context_(std::move(context)) {}

FileOperationManager::~FileOperationManager() { finalize(); }

std::uint32_t FileOperationManager::initialize() {
  std::lock_guard<std::mutex> lock(mutex_);
  refusing_ = false;
  quitting_ = false;
  if (!dispatcher_.joinable()) dispatcher_ = std::thread([this] { dispatch(); });
  return KVN_OK;
}

void FileOperationManager::finalize() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    refusing_ = true;
    pending_.clear();
  }
  stopAll();
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quitting_ = true;
  }
  changed_.notify_all();
  if (dispatcher_.joinable()) dispatcher_.join();
  threads_.joinAll();
}

bool FileOperationManager::mayCreate(const QString& operationId, bool argumentsOk,
                                     std::uint32_t& result) const {
  if (operationId.size() < 2 || !argumentsOk) {
    KLOG_E("Error: arguments");
    result = KVN_E_ARGUMENTS;
    return false;
  }
  result = KVN_OK;
  return !refusing_;
}

std::uint32_t FileOperationManager::createDeletion(const QString& operationId, std::int64_t jobId,
                                                   const QList<DeletionFile>& files) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint32_t result = KVN_OK;
  if (!mayCreate(operationId, !files.isEmpty(), result)) return result;
  return submitLocked(std::make_unique<Deletion>(operationId, jobId, files, context_));
}

std::uint32_t FileOperationManager::createExternalDeletion(const QString& operationId) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint32_t result = KVN_OK;
  if (!mayCreate(operationId, true, result)) return result;
  return submitLocked(std::make_unique<ExternalDeletion>(operationId, context_));
}

std::uint32_t FileOperationManager::createExternalRestoration(const QString& target,
                                                              const QString& operationId) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::uint32_t result = KVN_OK;
  if (!mayCreate(operationId, target.size() >= 2, result)) return result;
  return submitLocked(
      std::make_unique<ExternalRestoration>(fromWirePath(target), operationId, context_));
}

std::uint32_t FileOperationManager::submit(std::unique_ptr<FileOperation> operation) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (refusing_) return KVN_OK;
  return submitLocked(std::move(operation));
}

std::uint32_t FileOperationManager::submitLocked(std::unique_ptr<FileOperation> operation) {
  try {
    const QString& id = operation->operationId();
    if (running_.empty()) {
      start(std::move(operation));
      return KVN_OK;
    }
    for (const auto& queued : pending_)
      if (queued->operationId() == id) return KVN_OK;
    pending_.push_back(std::move(operation));
    return KVN_OK;
  } catch (const std::exception& e) {
    KLOG_E("Error: arguments");
    return KVN_E_ARGUMENTS;
  }
}

void FileOperationManager::start(std::unique_ptr<FileOperation> operation) {
  FileOperation* raw = operation.get();
  running_.emplace(raw->operationId(), std::move(operation));
  // Threads of operations that ended are joined here, so that their number
  // stays small however long the process runs.
  threads_.joinEnded();
  threads_.start([this, raw] { runOperation(raw); });
}

void FileOperationManager::runOperation(FileOperation* operation) {
  const QByteArray id = operation->operationId().toUtf8();
  std::uint32_t result = KVN_OK;
  if (operation->stopRequested()) {
    KLOG_W("Execution stopped by the user.");
    result = KVN_E_STOPPED;
  } else {
    KLOG_I("[%s] is starting", id.constData());
    kvn_agent_database::ScopedConnection connection(operation->connectionName());
    if (!connection.isOpen()) {
      result = KVN_E_FAILED;
    } else {
      operation->setFinished(false);
      result = operation->execute(connection.db());
      operation->setFinished(true);
      KLOG_I("[%s] finished", id.constData());
      operation->writeFinalRow(connection.db());
    }
  }
  if (result != KVN_OK) KLOG_E("Error: executing operation");

  std::unique_ptr<FileOperation> done;
  bool idle = false;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto it = running_.find(operation->operationId());
    if (it == running_.end() || it->second.get() != operation) {
      KLOG_E("Error: operation object not found");
    } else {
      done = std::move(it->second);
      running_.erase(it);
    }
    idle = running_.empty() && pending_.empty();
  }
  done.reset();
  changed_.notify_all();
  // As after the last backup run: the transfer buffers' pages go back.
  if (idle) kvn_platform::releaseFreeMemory();
}

void FileOperationManager::dispatch() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return quitting_ || (running_.empty() && !pending_.empty()); });
    if (quitting_) return;
    if (running_.empty() && !pending_.empty()) {
      std::unique_ptr<FileOperation> next = std::move(pending_.front());
      pending_.pop_front();
      if (!refusing_) submitLocked(std::move(next));
    }
  }
}

std::uint32_t FileOperationManager::stop(const QString& operationId, bool byUser) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = running_.find(operationId);
  if (it == running_.end()) {
    KLOG_E("Error: operation object not found");
    return KVN_E_EXCEPTION;
  }
  it->second->requestStop(byUser);
  return KVN_OK;
}

void FileOperationManager::stopAll() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!running_.empty()) {
    running_.begin()->second->requestStop(false);
    changed_.wait(lock);
  }
}

void FileOperationManager::refuseNewOperations() {
  std::lock_guard<std::mutex> lock(mutex_);
  refusing_ = true;
}

unsigned FileOperationManager::runningCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unsigned(running_.size());
}

unsigned FileOperationManager::pendingCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return unsigned(pending_.size());
}

bool FileOperationManager::isRunning(const QString& operationId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return running_.count(operationId) != 0;
}

bool FileOperationManager::isPending(const QString& operationId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& queued : pending_)
    if (queued->operationId() == operationId) return true;
  return false;
}

bool FileOperationManager::runningForJobLocked(std::int64_t jobId) const {
  for (const auto& [id, operation] : running_)
    if (operation->jobId() == jobId) return true;
  return false;
}

bool FileOperationManager::operationRunningForJob(std::int64_t jobId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return runningForJobLocked(jobId);
}

bool FileOperationManager::yieldForBackup(std::int64_t jobId) {
  std::lock_guard<std::mutex> lock(mutex_);
  pending_.remove_if(
      [jobId](const std::unique_ptr<FileOperation>& queued) { return queued->jobId() == jobId; });
  for (const auto& [id, operation] : running_) {
    if (operation->jobId() != jobId) continue;
    if (!operation->canYieldForBackup()) return false;
    KLOG_D("Asking [%s] to yield for backup (job_id=%d)", id.toUtf8().constData(), int(jobId));
    operation->requestStop(false);
  }
  return true;
}

void FileOperationManager::waitForJob(std::int64_t jobId) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return !runningForJobLocked(jobId); });
}

std::uint32_t FileOperationManager::startRestoration(const QString& operationId,
                                                     const QString& target) {
  return createExternalRestoration(target.isEmpty() ? kOriginalPath : target, operationId);
}

std::uint32_t FileOperationManager::startDeletion(const QString& operationId) {
  return createExternalDeletion(operationId);
}

std::uint32_t FileOperationManager::stopOperation(const QString& operationId, bool forUpgrade) {
  return stop(operationId, !forUpgrade);
}
