// Path and mount-table helpers shared by the POSIX sources of this library.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "kvn_platform/filesystem.h"

namespace kvn_platform::detail {

// Undoes the octal escapes (\040 for a blank...) of the mount table.
std::string unescapeMountField(const std::string& field);
// path lies at or below folder (both cleaned, absolute).
bool isAtOrBelow(const std::string& path, const std::string& folder);
// Lexical clean-up of an absolute path: no ".", "..", repeated or trailing
// separators.
std::string cleanAbsolute(const std::string& path);
std::string parentOf(const std::string& path);
// Where the folder shown by the mount at position index can also be
// reached, or kVolumeTargetPrefix and the mount point when this mount is the
// first to show it.
std::string mountTarget(const std::vector<MountEntry>& mounts, std::size_t index);

}  // namespace kvn_platform::detail
