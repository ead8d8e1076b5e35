// Exclusion patterns and listing name filters: a case-insensitive wildcard
// that must match the whole text, where "*" also matches "/", "?" matches
// one character and "[...]" a set ("[!...]" or "[^...]" its complement).
#pragma once

#include <QRegularExpression>
#include <QString>

namespace kvn_agent_filesystem {

class WildcardPattern {
 public:
  explicit WildcardPattern(const QString& pattern);

  bool matches(const QString& text) const { return regex_.match(text).hasMatch(); }
  const QString& pattern() const { return pattern_; }

 private:
  QString pattern_;
  QRegularExpression regex_;
};

}  // namespace kvn_agent_filesystem
