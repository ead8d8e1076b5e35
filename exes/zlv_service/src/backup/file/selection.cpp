#include "backup/file/selection.h"

#include <QDir>
#include <QSqlQuery>
#include <QVariant>
#include <cstring>
#include <vector>

#include "backup/file/pathexpansion.h"
#include "database/sqlerror.h"
#include "filesystem/fileinfo.h"
#include "kvn_log/errors.h"
#include "kvn_platform/filesystem.h"
#include "kvn_platform/text_path_qt.h"

namespace {

bool run(QSqlQuery& query, const QString& statement, std::int64_t jobId) {
  query.setForwardOnly(true);
  if (!query.prepare(statement)) {
    KLOG_SQL_FAILURE(statement, query.lastError());
    return false;
  }
  query.bindValue(":job_id", qint64(jobId));
  if (!query.exec()) {
    KLOG_SQL_FAILURE(statement, query.lastError());
    return false;
  }
  return true;
}

// Maps paths to the mount point of the file system that holds them.
class VolumeKeys {
 public:
  VolumeKeys() {
    int error = 0;
    if (!kvn_platform::readMountTable(mounts_, &error)) {
      KLOG_W("cannot read the mount table: %s", std::strerror(error));
    }
  }
  QString keyOf(const QString& path) const {
    return kvn_platform::toTextPath(
        kvn_platform::mountPointOf(mounts_, kvn_platform::toNativePath(path)));
  }

 private:
  std::vector<kvn_platform::MountEntry> mounts_;
};

}  // namespace

std::uint32_t loadExclusionPatterns(QSqlDatabase& db, std::int64_t jobId, QStringList& patterns) {
  static const QString statement =
      "SELECT pattern.pattern_data FROM pattern, sel_tem, pattern_x_sel_tem, job_x_sel_tem, job "
      "WHERE  job.job_id=job_x_sel_tem.job_id AND  "
      "job_x_sel_tem.sel_tem_id=sel_tem.sel_tem_id AND  "
      "sel_tem.sel_tem_id=pattern_x_sel_tem.sel_tem_id AND  "
      "pattern.pattern_id=pattern_x_sel_tem.pattern_id AND  job.job_id=:job_id AND  "
      "pattern_type=1;";
  patterns.clear();
  QSqlQuery query(db);
  if (!run(query, statement, jobId)) return KVN_E_FAILED;
  while (query.next()) {
    const QString stored = query.value(0).toString();
    const QString path = fromWirePath(stored);
    patterns.append(stored.endsWith(u'|') ? QDir(path).filePath("*") : QDir(path).path());
  }
  return KVN_OK;
}

std::uint32_t loadSelection(QSqlDatabase& db, std::int64_t jobId, Selection& selection) {
  static const QString statement =
      "SELECT  pattern.pattern_data AS path,  upper(substr(pattern.pattern_data,1,1)) AS volume "
      "FROM  pattern, sel_tem, pattern_x_sel_tem, job_x_sel_tem, job WHERE  job.job_id=:job_id "
      "AND  job.job_id=job_x_sel_tem.job_id AND  job_x_sel_tem.sel_tem_id=sel_tem.sel_tem_id AND "
      " sel_tem.sel_tem_id=pattern_x_sel_tem.sel_tem_id AND  "
      "pattern.pattern_id=pattern_x_sel_tem.pattern_id AND  pattern_type=0;";
  selection.clear();
  QSqlQuery query(db);
  if (!run(query, statement, jobId)) return KVN_E_FAILED;
  const VolumeKeys volumes;
  const auto add = [&](const QString& path) {
    const QString cleaned = QDir(path).path();
    const QString key = volumes.keyOf(cleaned);
    KLOG_D("LoadSelectionDBIn: %s lies on the volume mounted at %s", qPrintable(cleaned),
           qPrintable(key));
    selection[key].append(cleaned);
  };
  while (query.next()) {
    QString path = fromWirePath(query.value(0).toString());
    if (path.size() > 1 && path.endsWith(u'/')) path.chop(1);
    KLOG_D("adding path to the selection: \"%s\"", qPrintable(path));
    if (!path.contains(u'*')) {
      add(path);
      continue;
    }
    if (!path.contains(u'/')) path.prepend(u'/');
    for (const auto& expanded : expandPath(path)) add(expanded);
  }
  return KVN_OK;
}
