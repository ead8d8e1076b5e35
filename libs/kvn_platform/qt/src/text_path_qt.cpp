#include "kvn_platform/text_path_qt.h"

#include <QFile>

#include "kvn_platform/text_path.h"

namespace kvn_platform {

QString toTextPath(std::string_view native) {
  const std::u16string text = textFromNative(native);
  // Copied unit for unit: QString::fromUtf16 would drop a leading U+FEFF.
  return QString(reinterpret_cast<const QChar*>(text.data()), qsizetype(text.size()));
}

std::string toNativePath(const QString& text) {
  return nativeFromText(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                            std::size_t(text.size())));
}

QString textPathFromQt(const QString& qtPath) {
  return toTextPath(QFile::encodeName(qtPath).toStdString());
}

}  // namespace kvn_platform
