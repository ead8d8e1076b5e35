// Walks the selected trees and lists the files a backup must send: the new
// ones and those whose modification time differs from the version on the
// box. Unchanged files only count towards the total.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <vector>

#include "backup/file/finderentries.h"
#include "backup/file/selection.h"
#include "backup/file/snapshotcontext.h"
#include "backup/file/versions.h"
#include "filesystem/fileinfo.h"
#include "filesystem/wildcard.h"

struct AnalysisCounters {
  std::int32_t filesToBackup = 0;
  std::int64_t bytesToBackup = 0;
  std::int32_t totalFiles = 0;
};

class FileFinder {
 public:
  // signaturesPath: the agent's own signature folder (as Qt names it),
  // never backed up.
  FileFinder(const QString& signaturesPath, const QStringList& exclusionPatterns,
             const FileVersions& versions, const SnapshotContext& context);

  // Walks every selected path: 0, KVN_E_STOPPED, or KVN_E_EXCEPTION when
  // the walk threw. Missing paths and unreadable folders are logged and
  // skipped.
  std::uint32_t run(const Selection& selection);

  FinderEntryList& entries() { return entries_; }
  const AnalysisCounters& counters() const { return counters_; }

 private:
  using Patterns = std::vector<const kvn_agent_filesystem::WildcardPattern*>;

  // false when stopped.
  bool walkSelected(const QString& path, const QString& volumeKey);
  bool walk(const std::shared_ptr<const FinderEntry>& entry,
            const kvn_agent_filesystem::KVNFileInfo& dir, const Patterns& patterns);
  void consider(const kvn_agent_filesystem::KVNFileInfo& file,
                const std::shared_ptr<const FinderEntry>& parent, const QString& name);
  bool isUnchanged(const kvn_agent_filesystem::KVNFileInfo& file) const;
  bool inSignatureFolder(const QString& path) const;
  const kvn_agent_filesystem::WildcardPattern* excludedBy(const QString& path,
                                                          const Patterns& patterns) const;
  bool stopped() const;

  QString signaturesPath_;
  std::vector<kvn_agent_filesystem::WildcardPattern> patterns_;
  const FileVersions& versions_;
  const SnapshotContext& context_;
  FinderEntryList entries_;
  AnalysisCounters counters_;
};

// A folder that leads back to one of its own ancestors (a link, or a bind
// mount of an ancestor): walking it would never end.
bool isCircularLink(const kvn_agent_filesystem::KVNFileInfo& info);
