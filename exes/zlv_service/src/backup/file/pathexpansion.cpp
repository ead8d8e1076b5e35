#include "backup/file/pathexpansion.h"

#include "filesystem/dir.h"
#include "filesystem/fileinfo.h"
#include "kvn_log/log.h"

namespace {

using kvn_agent_filesystem::KvnDirWindows;
using kvn_agent_filesystem::KVNFileInfo;

QStringList expand(const QStringList& bases, QStringList components) {
  if (kvn_log::enabled(kvn_log::Trace)) {
    KLOG_T("expandPath([%s], [%s])", qPrintable(bases.join(',')), qPrintable(components.join(',')));
  }
  const QString component = components.takeFirst();
  QStringList kept;
  for (const auto& base : bases) {
    if (!component.contains(u'*')) {
      const QString candidate = base + u'/' + component;
      const KVNFileInfo info(candidate, QString(), QDateTime(), QString());
      // A link on the way is resolved by the system like in any path; one
      // that ends the selection is refused by the walk.
      if (info.exists()) kept.append(candidate);
      continue;
    }
    KvnDirWindows dir(base.isEmpty() ? QStringLiteral("/") : base, QString(), QDateTime(),
                      QString());
    dir.setNameFilters({component});
    for (const auto& entry : dir.list()) kept.append(entry->path());
  }
  if (components.isEmpty() || kept.isEmpty()) return kept;
  return expand(kept, components);
}

}  // namespace

QStringList expandPath(const QString& path) {
  KLOG_D("expanding path: \"%s\"", qPrintable(path));
  QString trimmed = path;
  while (trimmed.endsWith(QStringLiteral("/*"))) trimmed.chop(2);
  // "/*" selects the root folder itself.
  if (trimmed.isEmpty()) trimmed = QStringLiteral("/");
  QStringList components = trimmed.split(u'/');
  const QStringList bases{components.takeFirst()};
  QStringList result = trimmed == u'/' ? QStringList{trimmed} : expand(bases, components);
  for (const auto& r : result) KLOG_D("-> \"%s\"", qPrintable(r));
  return result;
}
