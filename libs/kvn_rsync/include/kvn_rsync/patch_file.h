// Applies a delta file to a basis file on disk.
#pragma once

#include <string>

namespace kvn_rsync {

// Writes the new version to newPath. Every failure is logged; the answer is
// false then, and newPath may hold a partial file.
bool patchFile(const std::string& basisPath, const std::string& deltaPath,
               const std::string& newPath);

}  // namespace kvn_rsync
