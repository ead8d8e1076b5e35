// The packet types of the restoration, deletion and external deletion
// conversations, the same for the agent that sends them and the box that
// answers.
#pragma once

#include <cstdint>

namespace kvn_network {

namespace restore_type {
// Count request (and the type of the run's reports).
inline constexpr std::uint32_t kCount = 0x22000000;
inline constexpr std::uint32_t kAction = 0x22001001;
// The agent is ready to receive the file data.
inline constexpr std::uint32_t kReady = 0x22000101;
inline constexpr std::uint32_t kFileResult = 0x22000102;
inline constexpr std::uint32_t kFinal = 0x22000002;
// The file data itself (file id kFileData).
inline constexpr std::uint32_t kData = 0x22010002;
inline constexpr std::uint32_t kFileData = 30;
inline constexpr const char* kRestore = "RESTORE";
inline constexpr const char* kEnd = "END";
}  // namespace restore_type

namespace deletion_type {
inline constexpr std::uint32_t kStart = 0x60000000;
inline constexpr std::uint32_t kRequest = 0x60001001;
inline constexpr std::uint32_t kFile = 0x60000101;
inline constexpr std::uint32_t kFinal = 0x60000001;
inline constexpr const char* kInitial = "INI";
inline constexpr const char* kDelete = "DELETE";
inline constexpr const char* kDone = "DONE";
inline constexpr const char* kEnd = "END";
}  // namespace deletion_type

namespace external_deletion_type {
inline constexpr std::uint32_t kCount = 0x62000000;
inline constexpr std::uint32_t kAction = 0x62001001;
// The request of the next file; without payload, the confirmation after
// the last one.
inline constexpr std::uint32_t kNext = 0x62000101;
// The box's "no more files", and the final confirmation.
inline constexpr std::uint32_t kNoMore = 0x62000001;
inline constexpr const char* kDelete = "DELETE";
}  // namespace external_deletion_type

// Report codes of a stopped or failed run (flags | kind).
namespace report_code {
inline constexpr std::uint32_t kStoppedByUser = 0x1000000 | 0x21000;
inline constexpr std::uint32_t kStopped = 0x1000000 | 0x20000;
inline constexpr std::uint32_t kFailed = 0x1080000;
inline constexpr std::uint32_t kErrorText = 0xe0000042;
inline constexpr std::uint32_t kWarningText = 0xe0000041;
inline constexpr std::uint32_t kRunFailedText = 0xe0000002;
}  // namespace report_code

}  // namespace kvn_network
