#include "connection/settingsfilecheck.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QStringDecoder>

namespace {

// The file holds a handful of short keys; anything near this is not it.
constexpr qint64 kMaxSize = 64 * 1024;

std::optional<QString> binaryByte(const QByteArray& bytes) {
  for (qsizetype i = 0; i < bytes.size(); ++i) {
    const auto byte = static_cast<unsigned char>(bytes[i]);
    if (byte < 0x20 && byte != '\t' && byte != '\n' && byte != '\r')
      return QStringLiteral("it holds binary data (byte 0x%1 at offset %2)")
          .arg(byte, 2, 16, QChar(u'0'))
          .arg(i);
    if (byte == 0x7f) return QStringLiteral("it holds binary data (byte 0x7f at offset %1)").arg(i);
  }
  return std::nullopt;
}

std::optional<QString> badLine(const QString& text) {
  const QStringList lines = text.split(u'\n');
  for (qsizetype i = 0; i < lines.size(); ++i) {
    const QString line = lines[i].trimmed();
    if (line.isEmpty() || line.startsWith(u';') || line.startsWith(u'#')) continue;
    if (line.startsWith(u'[')) {
      if (line.endsWith(u']') && line.size() > 2) continue;
      return QStringLiteral("line %1 is not a whole section header").arg(i + 1);
    }
    const qsizetype equals = line.indexOf(u'=');
    if (equals > 0 && !line.left(equals).trimmed().isEmpty()) continue;
    return QStringLiteral("line %1 is neither a section nor key=value").arg(i + 1);
  }
  return std::nullopt;
}

}  // namespace

std::optional<QString> settingsFileDamage(const QString& path) {
  const QFileInfo info(path);
  if (!info.exists() || !info.isFile()) return std::nullopt;
  if (info.size() > kMaxSize)
    return QStringLiteral("it is %1 bytes long, more than a settings file can be").arg(info.size());
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly))
    return QStringLiteral("it cannot be read (%1)").arg(file.errorString());
  QByteArray bytes = file.read(kMaxSize + 1);
  if (file.error() != QFileDevice::NoError)
    return QStringLiteral("it cannot be read (%1)").arg(file.errorString());
  if (bytes.startsWith("\xef\xbb\xbf")) bytes.remove(0, 3);
  if (auto binary = binaryByte(bytes)) return binary;
  QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
  const QString text = utf8.decode(bytes);
  if (utf8.hasError()) return QStringLiteral("it is not UTF-8 text");
  return badLine(text);
}

QString setDamagedFileAside(const QString& path) {
  const QString stem =
      QStringLiteral("%1.damaged-%2")
          .arg(path, QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss")));
  QString kept = stem;
  for (int n = 2; QFileInfo::exists(kept) && n < 1000; ++n)
    kept = QStringLiteral("%1-%2").arg(stem).arg(n);
  if (QFileInfo::exists(kept) || !QFile::rename(path, kept)) return {};
  return kept;
}
