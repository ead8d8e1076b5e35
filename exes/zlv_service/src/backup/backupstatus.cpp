#include "backup/backupstatus.h"

namespace backup_report {

QString text(std::uint32_t textCode, const QString& message) {
  const QString code = QStringLiteral("$%1").arg(textCode, 8, 16, QLatin1Char('0'));
  return message.isEmpty() ? code + u'.' : code + QStringLiteral(": ") + message;
}

}  // namespace backup_report
