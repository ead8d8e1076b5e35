// The hourly question to the box: is there a newer agent? When the box says
// so, its update program is downloaded.
#pragma once

#include <QString>
#include <cstdint>

#include "connection/zlvnetwork.h"

class Credentials;

struct AgentVersion {
  std::int32_t major = 0;
  std::int32_t minor = 0;
  std::int32_t patch = 0;
  std::int32_t build = 0;
};

// The box only, never the datanode. True when the update program was
// downloaded to path (mode 0700). reinstall sends version 0.0.0.0, so that
// the box offers the current version again. Failures to talk to the box
// are thrown (KvnCommonException with KVN_E_EXCEPTION).
bool checkAndDownloadUpdate(const QString& path, bool reinstall, const AgentVersion& version,
                            const Credentials& credentials,
                            const ZlvNetworkSettings& settings = {});
