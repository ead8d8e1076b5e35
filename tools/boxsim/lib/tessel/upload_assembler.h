// Puts the payloads of the agent's "file_upload" tasks back together into
// files of the box, one per task, and records each upload when it ends.
#pragma once

#include <QFile>
#include <QJsonObject>
#include <QString>
#include <cstdint>
#include <map>
#include <memory>

#include "boxsim/tessel_record.h"

namespace boxsim {

class UploadAssembler {
 public:
  UploadAssembler(QString folder, TesselRecord& record);
  // Open uploads end as incomplete.
  ~UploadAssembler();
  UploadAssembler(const UploadAssembler&) = delete;
  UploadAssembler& operator=(const UploadAssembler&) = delete;

  // Opens <folder>/task-<id>-<n>.bin; an open upload with the same id ends
  // as replaced.
  void begin(std::int32_t taskId, const QJsonObject& args);
  bool isOpen(std::int32_t taskId) const { return open_.count(taskId) != 0; }
  void append(std::int32_t taskId, const QByteArray& payload);
  void finish(std::int32_t taskId);
  void fail(std::int32_t taskId, const QString& error);
  void failAll(const QString& error);

 private:
  struct Open {
    std::unique_ptr<QFile> file;
    TesselUpload upload;
  };
  void end(std::map<std::int32_t, Open>::iterator it, bool complete, const QString& error);

  QString folder_;
  TesselRecord& record_;
  int sequence_ = 0;
  std::map<std::int32_t, Open> open_;
};

}  // namespace boxsim
