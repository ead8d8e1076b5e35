#include "filesystem/wildcard.h"

namespace kvn_agent_filesystem {

namespace {

QString toRegex(const QString& wildcard) {
  QString out;
  out.reserve(wildcard.size() * 2);
  for (qsizetype i = 0; i < wildcard.size(); ++i) {
    const QChar c = wildcard[i];
    if (c == u'*') {
      out += QStringLiteral(".*");
    } else if (c == u'?') {
      out += u'.';
    } else if (c == u'[') {
      const qsizetype close = wildcard.indexOf(u']', i + 2);
      if (close < 0) {
        out += QStringLiteral("\\[");
        continue;
      }
      QString set = wildcard.mid(i + 1, close - i - 1);
      QString body;
      qsizetype start = 0;
      if (set.startsWith(u'!') || set.startsWith(u'^')) {
        body += u'^';
        start = 1;
      }
      for (qsizetype k = start; k < set.size(); ++k) {
        // Only a range dash keeps its meaning inside the set.
        if (set[k] == u'\\' || set[k] == u'[' || set[k] == u']' || set[k] == u'^') body += u'\\';
        body += set[k];
      }
      out += u'[' + body + u']';
      i = close;
    } else {
      out += QRegularExpression::escape(QString(c));
    }
  }
  return out;
}

}  // namespace

WildcardPattern::WildcardPattern(const QString& pattern)
    : pattern_(pattern),
      regex_(QRegularExpression::anchoredPattern(toRegex(pattern)),
             QRegularExpression::CaseInsensitiveOption |
                 QRegularExpression::DotMatchesEverythingOption) {
  regex_.optimize();
}

}  // namespace kvn_agent_filesystem
