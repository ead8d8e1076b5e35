// The agent's data folders, all below "<common application data>/Zelvo",
// each name preceded by the environment prefix.
#pragma once

#include <QDir>
#include <QString>
#include <optional>

struct AppPaths {
  QDir baseDir;
  QDir signaturesDir;
  QDir logsDir;
  QDir workerDir;
  QString databasePath;
  // Set when the "Zelvo" folder itself had to be made (there is no
  // installer here to make it).
  bool createdBaseDir = false;
};

// "prefix" becomes "prefix-"; an empty prefix stays empty.
QString envPrefixFrom(const QString& prefixOption);

// Computes and creates the folders. On failure returns nothing and sets
// failedFolder to the folder that could not be made.
std::optional<AppPaths> generatePaths(const QString& commonAppData, const QString& envPrefix,
                                      QString* failedFolder);
