// The constants of the Tessel control channel: the TLS link on which the box
// drives the agent with framed JSON messages. Shared by the agent's client
// and the simulated box, so both ends speak the same limits and names.
#pragma once

#include <cstdint>

namespace kvn_network::tessel {

inline constexpr std::uint16_t kPort = 6680;

// Frame header: 4 bytes, big-endian. Bit 29 says that a binary payload frame
// follows; the rest of the header (bits 30 and 31 included) is the length.
inline constexpr std::uint32_t kHeaderSize = 4;
inline constexpr std::uint32_t kPayloadFlag = 0x20000000;
inline constexpr std::uint32_t kMaxFrameBody = 0x80000;

// The hello answer is read with its own rule: the whole header is the
// length and must lie in this range.
inline constexpr std::uint32_t kMinHelloAnswer = 1;
inline constexpr std::uint32_t kMaxHelloAnswer = 65535;

// Sending waits while more than this is queued in the socket; tasks are
// only pumped while less than the pump threshold is queued.
inline constexpr std::int64_t kSendBackPressure = 0x200000;
inline constexpr std::int64_t kTaskPumpThreshold = 0x40000;

// Bytes of each side's hello nonce.
inline constexpr int kNonceSize = 4;

namespace message {
inline constexpr const char* kHello = "hello";
inline constexpr const char* kPing = "ping";
inline constexpr const char* kLog = "log";
inline constexpr const char* kResponse = "response";
inline constexpr const char* kTaskControl = "task_control";
inline constexpr const char* kTask = "task";
inline constexpr const char* kError = "error";
inline constexpr const char* kQuery = "query";
inline constexpr const char* kTailLogs = "tail_logs";
}  // namespace message

// Keys of the messages.
namespace key {
inline constexpr const char* kType = "type";
inline constexpr const char* kLicense = "license";
inline constexpr const char* kAgent = "agent";
inline constexpr const char* kNonce = "nonce";
inline constexpr const char* kProof = "proof";
inline constexpr const char* kQueryId = "query_id";
inline constexpr const char* kQuery = "query";
inline constexpr const char* kDone = "done";
inline constexpr const char* kResponse = "response";
inline constexpr const char* kTaskId = "task_id";
inline constexpr const char* kAction = "action";
inline constexpr const char* kTaskType = "task_type";
inline constexpr const char* kArgs = "args";
inline constexpr const char* kData = "data";
inline constexpr const char* kError = "error";
inline constexpr const char* kEnabled = "enabled";
inline constexpr const char* kLevel = "level";
inline constexpr const char* kDate = "date";
inline constexpr const char* kFile = "file";
inline constexpr const char* kLine = "line";
inline constexpr const char* kText = "text";
inline constexpr const char* kIntent = "intent";
inline constexpr const char* kOk = "ok";
}  // namespace key

// "action" of a "task_control" message.
namespace task_action {
inline constexpr const char* kCreate = "create";
inline constexpr const char* kFinish = "finish";
inline constexpr const char* kAbort = "abort";
}  // namespace task_action

// Query types the box sends that start work on the agent.
namespace query_type {
inline constexpr const char* kLaunchAction = "launch_action";
inline constexpr const char* kStartTask = "start_task";
}  // namespace query_type

// The one task type the agent creates: a file streamed to the box.
inline constexpr const char* kFileUploadTask = "file_upload";

// Log texts of the receive faults.
inline constexpr const char* kProtocolErrorText = "Tessel protocol error";
inline constexpr const char* kTwoPayloadsText = "Tessel protocol error: two payloads in a row";

}  // namespace kvn_network::tessel
