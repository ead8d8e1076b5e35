#include "tessel/fileupload.h"

#include <QDir>
#include <QTemporaryFile>

#include "database/databasecopy.h"
#include "kvn_log/errors.h"
#include "kvn_log/log.h"
#include "kvn_network/tessel_protocol.h"

using namespace kvn_network::tessel;

FileUpload::FileUpload(TesselLink& link, int taskId, const QString& logFilePath,
                       const QString& databasePath)
    : TesselTask(link, taskId), logFilePath_(logFilePath), databasePath_(databasePath) {}

FileUpload::~FileUpload() { unlockLogs(); }

void FileUpload::fail(const char* error, const QString& subject) {
  KLOG_E("%s : %s", error, qPrintable(subject));
  abort(error);
}

void FileUpload::start(const QJsonObject& args) {
  const QString requested = args.value(key::kFile).toString();
  if (requested == upload_file::kLog) {
    file_ = std::make_unique<QFile>(logFilePath_);
    // Each piece of the log sent must not write a line into the log.
    lockLogs();
  } else if (requested == upload_file::kDatabase) {
    file_ = copyOfDatabase();
    if (!file_) return fail("Cannot open file", requested);
  }
  if (!file_ || file_->fileName().isEmpty()) {
    return fail("Invalid file", requested);
  }
  // The copy is open already; the log is only read.
  if (!file_->isOpen() && !file_->open(QIODevice::ReadOnly)) {
    return fail("Cannot open file", file_->fileName());
  }
  file_->seek(0);
  KLOG_I("Upload starting : %s (%s)", qPrintable(requested), qPrintable(file_->fileName()));
}

std::unique_ptr<QFile> FileUpload::copyOfDatabase() const {
  auto copy = std::make_unique<QTemporaryFile>(QDir::temp().filePath("zlv.db.XXXXXX"));
  if (!copy->open()) {
    KLOG_E("cannot create a temporary file for the database copy: %s",
           qPrintable(copy->errorString()));
    return nullptr;
  }
  // SQLite writes the copy through its own handle; ours reads it afterwards.
  if (kvn_agent_database::copyDatabase(databasePath_, copy->fileName(), kDumpConnection) !=
      KVN_OK) {
    return nullptr;
  }
  return copy;
}

void FileUpload::step() {
  if (finished() || !file_) return;
  const QByteArray bytes = file_->read(kChunkSize);
  if (!bytes.isEmpty()) sendData({}, bytes);
  if (file_->atEnd()) {
    finish();
    KLOG_I("Upload complete");
  } else if (bytes.isEmpty()) {
    // A short upload must not pass for a complete one.
    KLOG_E("Cannot read file : %s (%s)", qPrintable(file_->fileName()),
           qPrintable(file_->errorString()));
    abort("Cannot read file");
  }
}
