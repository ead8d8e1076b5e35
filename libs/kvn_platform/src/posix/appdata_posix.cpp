#include <cstdlib>

#include "kvn_platform/appdata.h"

namespace kvn_platform {

std::optional<std::string> commonAppDataFolder() {
  const char* overridden = std::getenv("ZLV_COMMON_APPDATA");
  if (overridden != nullptr && *overridden != '\0') return std::string(overridden);
  return std::string("/var/lib");
}

}  // namespace kvn_platform
