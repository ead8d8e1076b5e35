#include "upload_assembler.h"

#include <QDir>

#include "kvn_log/log.h"

namespace boxsim {

UploadAssembler::UploadAssembler(QString folder, TesselRecord& record)
    : folder_(std::move(folder)), record_(record) {}

UploadAssembler::~UploadAssembler() { failAll("box stopped"); }

void UploadAssembler::begin(std::int32_t taskId, const QJsonObject& args) {
  if (isOpen(taskId)) fail(taskId, "replaced by a new task with the same id");
  QDir().mkpath(folder_);
  Open open;
  open.upload.taskId = taskId;
  open.upload.args = args;
  open.upload.path = QDir(folder_).filePath(QString("task-%1-%2.bin").arg(taskId).arg(++sequence_));
  open.file = std::make_unique<QFile>(open.upload.path);
  if (!open.file->open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    KLOG_E("boxsim: cannot create the upload file %s: %s", qPrintable(open.upload.path),
           qPrintable(open.file->errorString()));
    open.upload.error = "cannot create " + open.upload.path;
    record_.addUpload(open.upload);
    return;
  }
  KLOG_I("boxsim: upload of task %d into %s", taskId, qPrintable(open.upload.path));
  open_.emplace(taskId, std::move(open));
}

void UploadAssembler::append(std::int32_t taskId, const QByteArray& payload) {
  const auto it = open_.find(taskId);
  if (it == open_.end()) return;
  if (it->second.file->write(payload) != payload.size()) {
    KLOG_E("boxsim: cannot write the upload file %s: %s", qPrintable(it->second.upload.path),
           qPrintable(it->second.file->errorString()));
    end(it, false, "cannot write " + it->second.upload.path);
    return;
  }
  it->second.upload.size += payload.size();
}

void UploadAssembler::finish(std::int32_t taskId) {
  const auto it = open_.find(taskId);
  if (it != open_.end()) end(it, true, {});
}

void UploadAssembler::fail(std::int32_t taskId, const QString& error) {
  const auto it = open_.find(taskId);
  if (it != open_.end()) end(it, false, error);
}

void UploadAssembler::failAll(const QString& error) {
  while (!open_.empty()) end(open_.begin(), false, error);
}

void UploadAssembler::end(std::map<std::int32_t, Open>::iterator it, bool complete,
                          const QString& error) {
  TesselUpload upload = std::move(it->second.upload);
  const bool flushed = it->second.file->flush();
  it->second.file->close();
  open_.erase(it);
  upload.complete = complete && flushed;
  upload.error = flushed ? error : "cannot write " + upload.path;
  if (upload.complete)
    KLOG_I("boxsim: upload of task %d complete, %lld bytes in %s", upload.taskId,
           static_cast<long long>(upload.size), qPrintable(upload.path));
  else
    KLOG_W("boxsim: upload of task %d ended incomplete after %lld bytes: %s", upload.taskId,
           static_cast<long long>(upload.size), qPrintable(upload.error));
  record_.addUpload(std::move(upload));
}

}  // namespace boxsim
