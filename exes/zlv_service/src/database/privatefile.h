// Files that hold the shared key ("zlv.db", "zlv.ini") are readable by their
// owner only.
#pragma once

#include <QString>

namespace kvn_agent_database {

// Creates an empty file with owner-only permissions unless one exists, so
// that the file is never readable by others, not even briefly.
bool createPrivateFile(const QString& path);

// Sets owner-only read and write on an existing file.
bool restrictToOwner(const QString& path);

}  // namespace kvn_agent_database
