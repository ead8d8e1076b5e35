// Where a restored file goes. The box names files by the agent's own
// absolute paths; they are input, so a path that would climb out of the
// target folder is refused instead of followed.
#pragma once

#include <QString>
#include <QStringList>
#include <optional>

struct RestorePlacement {
  // The folder the file must stay below; empty when the file goes back to
  // its own path.
  QString root;
  // Folders below root to create, outermost first (empty without root).
  QStringList folders;
  // The folder holding the file when there is no root.
  QString parent;
  QString leaf;
  // The whole destination, for the log.
  QString path;
};

class RestoreTarget {
 public:
  // The literal target that puts every file back where it was.
  static inline const QString kOriginalPath = QStringLiteral("ORIGINAL_PATH");

  // target: native separators; kOriginalPath or a folder.
  explicit RestoreTarget(QString target) : target_(std::move(target)) {}

  const QString& text() const { return target_; }
  bool isOriginalPath() const { return target_ == kOriginalPath; }

  // The place of a source path ("/" separators); nullopt with the reason
  // when the path is refused.
  std::optional<RestorePlacement> place(const QString& source, QString* reason) const;

 private:
  QString target_;
};
