// "file_list": the folders and files of one folder, or with the path
// "ROOT" (or none) the machine's drives, answered in pages so that no frame
// outgrows the channel's limit.
#pragma once

#include <QJsonArray>
#include <functional>
#include <string>
#include <vector>

#include "tessel/queryprocessor.h"

class FileListProcessor : public TesselQueryProcessor {
 public:
  // The mount points of the drives (see kvn_platform::listDrives).
  using DriveLister =
      std::function<bool(bool includeRemovable, std::vector<std::string>& mountPoints, int* error)>;

  explicit FileListProcessor(DriveLister drives);
  void process(const QJsonObject& query, TesselReplier& replier) override;

 private:
  QJsonArray listDrives(bool includeRemovable) const;
  // path in the box's "|" form.
  static QJsonArray listFolder(const QString& path);
  // Full pages without done, then the rest (possibly nothing) with done.
  static void replyInPages(const QJsonObject& base, const QJsonArray& entries,
                           TesselReplier& replier);

  DriveLister drives_;
};
