#include "database/schema.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSqlQuery>
#include <map>
#include <optional>

#include "database/sqlerror.h"
#include "kvn_log/log.h"

namespace kvn_agent_database {

namespace {

// The number before the first "-" of the base name: "0007-add-x.sql" is 7.
std::optional<int> stepNumber(const QFileInfo& file) {
  bool ok = false;
  const int number = file.completeBaseName().section('-', 0, 0).toInt(&ok);
  if (!ok) return std::nullopt;
  return number;
}

bool execute(QSqlDatabase& db, const QString& statement) {
  QSqlQuery query(db);
  if (query.exec(statement)) return true;
  KLOG_SQL_FAILURE(statement, query.lastError());
  return false;
}

bool applyStep(QSqlDatabase& db, int number, const QString& script) {
  if (!db.transaction()) {
    KLOG_SQL_FAILURE(QStringLiteral("BEGIN"), db.lastError());
    return false;
  }
  if (!executeScriptText(db, script) ||
      !execute(db, QString("PRAGMA user_version=%1;").arg(number))) {
    db.rollback();
    return false;
  }
  if (!db.commit()) {
    KLOG_SQL_FAILURE(QStringLiteral("COMMIT"), db.lastError());
    db.rollback();
    return false;
  }
  return true;
}

}  // namespace

bool executeScriptText(QSqlDatabase& db, const QString& script) {
  static const QRegularExpression separator(";[\r\n]");
  const QStringList parts = script.split(separator, Qt::SkipEmptyParts);
  for (const QString& part : parts) {
    if (part.trimmed().isEmpty()) continue;
    if (!execute(db, part)) return false;
  }
  return true;
}

bool executeScript(QSqlDatabase& db, const QString& scriptPath) {
  QFile file(scriptPath);
  if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
    KLOG_E("Failed to open resource %s : %s", qPrintable(QFileInfo(scriptPath).completeBaseName()),
           qPrintable(file.errorString()));
    return false;
  }
  return executeScriptText(db, QString::fromUtf8(file.readAll()));
}

int schemaVersion(QSqlDatabase& db) {
  QSqlQuery query(db);
  if (!query.exec("PRAGMA user_version;")) {
    KLOG_SQL_FAILURE(query);
    return -1;
  }
  return query.next() ? query.value(0).toInt() : 0;
}

bool migrate(QSqlDatabase& db, const QString& folder) {
  // A file that is no database fails here; treating it as version 0 would
  // only fail later, in the middle of a step.
  const int version = schemaVersion(db);
  if (version < 0) return false;
  KLOG_I("Agent database version : %d", version);

  std::map<int, QFileInfo> steps;
  const QFileInfoList files = QDir(folder).entryInfoList(QDir::Files, QDir::Name);
  for (const QFileInfo& file : files) {
    const auto number = stepNumber(file);
    if (number && *number > version) steps[*number] = file;
  }

  for (const auto& [number, file] : steps) {
    QFile script(file.filePath());
    if (!script.open(QIODevice::ReadOnly | QIODevice::Text)) {
      // A step that cannot be read is left for a later start; the steps
      // applied so far are complete on their own.
      KLOG_E("Failed to open resource %s : %s", qPrintable(file.completeBaseName()),
             qPrintable(script.errorString()));
      break;
    }
    KLOG_I("Executing database patch %s", qPrintable(file.completeBaseName()));
    if (!applyStep(db, number, QString::fromUtf8(script.readAll()))) return false;
  }
  return true;
}

}  // namespace kvn_agent_database
