#include "paths.h"

QString envPrefixFrom(const QString& prefixOption) {
  return prefixOption.isEmpty() ? QString() : prefixOption + "-";
}

namespace {

bool makeFolder(const QString& path, QString* failedFolder) {
  if (QDir().mkpath(path)) return true;
  if (failedFolder) *failedFolder = path;
  return false;
}

}  // namespace

std::optional<AppPaths> generatePaths(const QString& commonAppData, const QString& envPrefix,
                                      QString* failedFolder) {
  AppPaths p;
  const QString base = QDir(commonAppData).filePath("Zelvo");
  p.createdBaseDir = !QDir(base).exists();
  if (!makeFolder(base, failedFolder)) return std::nullopt;
  p.baseDir = QDir(base);

  const QString logs = p.baseDir.filePath(envPrefix + "Logs");
  const QString signatures = p.baseDir.filePath(envPrefix + "Signatures");
  const QString worker = p.baseDir.filePath(envPrefix + "WorkerFolder");
  for (const QString& folder : {logs, signatures, worker}) {
    if (!makeFolder(folder, failedFolder)) return std::nullopt;
  }
  p.logsDir = QDir(logs);
  p.signaturesDir = QDir(signatures);
  p.workerDir = QDir(worker);
  p.databasePath = p.baseDir.filePath(envPrefix + "zlv.db");
  return p;
}
