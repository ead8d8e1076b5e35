#include "kvn_formats/settings_mark.h"

#include <QRegularExpression>

namespace kvn_formats {

namespace {

void setToTrue(QString& text, const QString& key) {
  const QString line = key + "true\n";
  if (!text.contains(key)) {
    if (!text.endsWith('\n')) text += '\n';
    text += line;
    return;
  }
  // '.' stops at a line feed, so each match is the rest of one line.
  text.replace(QRegularExpression(QRegularExpression::escape(key) + ".*\n?"), line);
}

}  // namespace

QString markRestoredSettings(const QString& text) {
  QString edited = text;
  setToTrue(edited, QStringLiteral("reset_agent="));
  setToTrue(edited, QStringLiteral("restored_agent="));
  return edited;
}

}  // namespace kvn_formats
