// The version check, the update download and the agent's report, the same
// for the agent and the box.
#pragma once

#include <cstdint>

namespace kvn_network {

inline constexpr const char* kVersionCheckOperation = "CLTVER_INITIAL";
inline constexpr const char* kReportOperation = "CLTINFO_INITIAL";

// Four i32 (major, minor, patch, build; all 0 to ask for a reinstall), the
// bytes 0 and 0, then the platform text. Answered with one text packet.
inline constexpr std::uint32_t kVersionPacketType = 0x50000000;
// The answer that offers an update; any other text means none.
inline constexpr const char* kUpdateAnswer = "UPDATE";
// The platform whose update program the box is to offer.
inline constexpr const char* kPlatformText = "Linux";
// Empty; answered with the update program as a file transfer of this type,
// then one more packet.
inline constexpr std::uint32_t kUpdateFileRequestType = 0x50000001;
// The null date-time, then the report as compact JSON text. No answer.
inline constexpr std::uint32_t kReportPacketType = 0x50002000;

}  // namespace kvn_network
