// A restoration or deletion: a long conversation with the box, named by an
// operation id, run by the file operation manager on a thread of its own.
// The operation owns its box connection (made when it starts) and is given
// its database connection by the thread that runs it.
#pragma once

#include <QDir>
#include <QSqlDatabase>
#include <QString>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "connection/zlvnetwork.h"

class Credentials;

// What every operation needs to reach the box and the agent's files.
struct FileOperationContext {
  const Credentials* credentials = nullptr;
  ZlvNetworkSettings network;
  // The agent's "Signatures" folder.
  QDir signaturesDir;
  // Makes the box connection; null: one to the credentials' boxes.
  NetworkFactory connect;
};

class FileOperation {
 public:
  FileOperation(QString operationId, FileOperationContext context);
  virtual ~FileOperation();
  FileOperation(const FileOperation&) = delete;
  FileOperation& operator=(const FileOperation&) = delete;

  const QString& operationId() const { return operationId_; }
  // The job the operation works on now; 0 for a restoration.
  virtual std::int64_t jobId() const = 0;
  // Whether a backup of the job may stop it.
  virtual bool canYieldForBackup() const { return false; }
  // The work; 0 or the code of the failure. db is the operation's own
  // connection, open.
  virtual std::uint32_t execute(QSqlDatabase& db) = 0;
  virtual std::int32_t processedFiles() const = 0;
  // The id of the operation's row in tableName(); -1 without one.
  virtual std::int64_t rowId() const { return -1; }
  virtual std::int32_t errorCount() const { return 0; }
  // "restoration" or "suppression".
  virtual QString tableName() const = 0;

  // Closes the operation's row (when it has one); failures are logged.
  void writeFinalRow(QSqlDatabase& db) const;

  // Any thread: breaks off a running transfer and makes the operation stop
  // at its next check.
  void requestStop(bool byUser);
  bool stopRequested() const { return stop_; }
  bool stoppedByUser() const { return stoppedByUser_; }
  bool finished() const { return finished_; }
  void setFinished(bool finished) { finished_ = finished; }

  // "Restore[<operation id>]".
  QString connectionName() const;

 protected:
  // Makes the box connection (with the box list only, no datanode).
  CZLVNetwork& openNetwork();
  CZLVNetwork& network() { return *network_; }
  const FileOperationContext& context() const { return context_; }
  // Logs "Execution stopped by the user." and returns true when a stop was
  // asked for.
  bool stopCheck() const;
  // Releases the box connection.
  void closeNetwork();

 private:
  QString operationId_;
  FileOperationContext context_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> stoppedByUser_{false};
  std::atomic<bool> finished_{true};
  // Guards network_ against a stop from another thread.
  mutable std::mutex networkMutex_;
  std::unique_ptr<CZLVNetwork> network_;
};
