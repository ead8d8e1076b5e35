// A frozen copy of a folder tree, as a volume snapshot would show it: the
// same names, contents, permissions and modification times, symbolic links
// kept as links, and folders where another file system is mounted left
// empty. Data is shared with the original (reflink) where the file system
// allows it and copied otherwise.
#pragma once

#include <QString>
#include <filesystem>

namespace kvn_vss {

// Copies from into to, leaving out the folder skip (where the copies are
// made, which may lie inside from). False with *reason on the first
// failure; what was copied so far is left for the caller to remove.
bool copyTree(const std::filesystem::path& from, const std::filesystem::path& to,
              const std::filesystem::path& skip, QString* reason);

}  // namespace kvn_vss
