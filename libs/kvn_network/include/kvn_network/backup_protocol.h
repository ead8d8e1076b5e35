// The packet types, data kinds and answer codes of a file backup run, the
// same for the agent that sends them and the box that answers.
#pragma once

#include <cstdint>

namespace kvn_network {

namespace backup_type {
inline constexpr std::uint32_t kReport = 0x10000000;  // reports; answer to PREP
inline constexpr std::uint32_t kDescription = 0x10000101;
inline constexpr std::uint32_t kFullConfirm = 0x10000108;
inline constexpr std::uint32_t kRunConfirm = 0x10000109;
inline constexpr std::uint32_t kAction = 0x10001001;
inline constexpr std::uint32_t kKnownFile = 0x10001003;  // answer: the box holds a version
inline constexpr std::uint32_t kDeltaAnnounce = 0x10020002;
inline constexpr std::uint32_t kDeltaConfirm = 0x10020003;
inline constexpr std::uint32_t kSignatureRequest = 0x10020004;
inline constexpr std::uint32_t kScriptResult = 0x10020005;
inline constexpr std::uint32_t kData = 0x50010002;
}  // namespace backup_type

// Data kinds (file ids) of a file backup on backup_type::kData.
namespace data_kind {
inline constexpr std::uint32_t kFull = 10;
inline constexpr std::uint32_t kSignature = 11;
inline constexpr std::uint32_t kDelta = 12;
}  // namespace data_kind

// Data kinds of a system image on backup_type::kData: the image data
// stream, the volume's hashmap (its signature), and a delta image.
namespace image_kind {
inline constexpr std::uint32_t kFull = 20;
inline constexpr std::uint32_t kHashmap = 21;
inline constexpr std::uint32_t kDelta = 22;
}  // namespace image_kind

// Codes of the box's error answers.
namespace box_code {
inline constexpr std::uint32_t kQuota = 0x10070000;
inline constexpr std::uint32_t kNotPermitted = 0x10080000;
inline constexpr std::uint32_t kConflict = 0x100E0000;
}  // namespace box_code

}  // namespace kvn_network
