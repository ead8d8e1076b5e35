// "file_upload": streams the agent's log or a copy of its database to the
// box, one payload per step, as fast as the link drains.
#pragma once

#include <QFile>
#include <memory>

#include "tessel/tesseltask.h"

class FileUpload : public TesselTask {
 public:
  // Bytes sent per step: one payload frame at the channel's limit.
  static constexpr qint64 kChunkSize = 0x80000;
  // The database copy reads on a connection of this name.
  static constexpr const char* kDumpConnection = "ExterFsDump";

  // The files the box may ask for: the log ("log") and the database ("db").
  FileUpload(TesselLink& link, int taskId, const QString& logFilePath, const QString& databasePath);
  // Lets go of the log lock; a database copy is deleted with its file.
  ~FileUpload() override;

  // args "file": "log" or "db"; anything else aborts with "Invalid file".
  void start(const QJsonObject& args) override;
  void step() override;
  void onData(const QJsonObject&, const QByteArray&) override {}
  void onError(const QString&) override {}

 private:
  // A temporary file holding a copy of the database, or null (logged).
  std::unique_ptr<QFile> copyOfDatabase() const;
  // Logs "<error> : <subject>" and aborts the task with error.
  void fail(const char* error, const QString& subject);

  QString logFilePath_;
  QString databasePath_;
  std::unique_ptr<QFile> file_;
};
