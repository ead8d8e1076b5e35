// Where the machine keeps data shared by all users: the agent's data folder
// lives below it.
#pragma once

#include <optional>
#include <string>

namespace kvn_platform {

// The common application-data folder, or nothing when the system cannot
// tell. Here: $ZLV_COMMON_APPDATA when set and not empty, else /var/lib.
std::optional<std::string> commonAppDataFolder();

}  // namespace kvn_platform
