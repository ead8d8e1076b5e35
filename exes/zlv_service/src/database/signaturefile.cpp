#include "database/signaturefile.h"

#include <QCryptographicHash>
#include <QFile>

#include "kvn_log/log.h"

namespace kvn_agent_database {

QByteArray pathDigest(const QString& nativePath) {
  QByteArray utf16;
  utf16.reserve(nativePath.size() * 2);
  for (const QChar c : nativePath) {
    utf16.append(char(c.unicode() & 0xff));
    utf16.append(char(c.unicode() >> 8));
  }
  return QCryptographicHash::hash(utf16, QCryptographicHash::Md5);
}

QString signatureFilePath(const QDir& signaturesDir, const QString& nativePath,
                          std::int64_t lastWrite, std::int64_t jobId) {
  QString digest = QString::fromLatin1(pathDigest(nativePath).toHex());
  const QChar separator = QDir::separator();
  digest.insert(4, separator);
  digest.insert(2, separator);
  digest.insert(0, separator);
  return signaturesDir.filePath(QString("%1%2%3.sig").arg(jobId).arg(digest).arg(lastWrite));
}

QString fingerprintsPath(const QString& signaturePath) {
  return signaturePath + QStringLiteral(".fp");
}

void deleteSignatureFile(const QString& signaturePath) {
  KLOG_I("Delete signature file: %s", qPrintable(signaturePath));
  const QString prints = fingerprintsPath(signaturePath);
  if (QFile::exists(prints) && !QFile::remove(prints)) {
    KLOG_W("Failed to delete block fingerprints: %s", qPrintable(prints));
  }
  if (!QFile::exists(signaturePath)) {
    KLOG_W("Signature not found: %s", qPrintable(signaturePath));
    return;
  }
  if (!QFile::remove(signaturePath))
    KLOG_W("Failed to delete signature: %s", qPrintable(signaturePath));
}

}  // namespace kvn_agent_database
