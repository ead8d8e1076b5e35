// What the box selected for a file backup job: the selected paths grouped
// by volume, and the exclusion patterns. Paths arrive with "|" as the
// separator ("|home|ann|" is the folder /home/ann).
#pragma once

#include <QMap>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <cstdint>

#include "kvn_network/wire_path.h"

using kvn_network::fromWirePath;
using kvn_network::toWirePath;

// Volume key (mount point of the file system that holds the paths) →
// selected paths, "/" separators, no trailing "/".
using Selection = QMap<QString, QStringList>;

// The job's exclusion patterns, as wildcards over absolute paths: a stored
// folder (ending with "|") becomes "<folder>/*". 0 or KVN_E_FAILED.
std::uint32_t loadExclusionPatterns(QSqlDatabase& db, std::int64_t jobId, QStringList& patterns);

// The job's selected paths, with "*" expanded. 0 or KVN_E_FAILED.
std::uint32_t loadSelection(QSqlDatabase& db, std::int64_t jobId, Selection& selection);
