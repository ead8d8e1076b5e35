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

// The other queries the agent answers, and the keys of their questions and
// answers.
namespace query_type {
inline constexpr const char* kResetAgent = "reset_agent";
inline constexpr const char* kTest = "test";
inline constexpr const char* kFileList = "file_list";
inline constexpr const char* kVolumeList = "volume_list";
inline constexpr const char* kMachineInfo = "machine_info";
inline constexpr const char* kLogs = "logs";
inline constexpr const char* kOperations = "operations";
}  // namespace query_type

namespace query_key {
inline constexpr const char* kTest = "test";
inline constexpr const char* kPath = "path";
inline constexpr const char* kShowRemovable = "show_removable";
inline constexpr const char* kCountTotal = "count_total";
inline constexpr const char* kEntries = "entries";
inline constexpr const char* kCount = "count";
inline constexpr const char* kName = "name";
inline constexpr const char* kSize = "size";
inline constexpr const char* kHostname = "hostname";
inline constexpr const char* kAgentVersion = "agent_version";
inline constexpr const char* kCpuArch = "cpu_arch";
inline constexpr const char* kOs = "os";
inline constexpr const char* kKernelType = "kernel_type";
inline constexpr const char* kKernelVersion = "kernel_version";
inline constexpr const char* kStartedAt = "started_at";
inline constexpr const char* kActiveBackups = "active_backups";
inline constexpr const char* kActiveRestorations = "active_restorations";
}  // namespace query_key

// A "file_list" answer comes in pages of this many entries, the last one
// (possibly empty) with done; the root listing is named kRootPath.
inline constexpr int kFileListPage = 1000;
inline constexpr const char* kRootPath = "ROOT";

// The actions of "launch_action", and what the "file" argument of a
// "file_upload" names.
namespace launch_action {
inline constexpr const char* kBackup = "backup";
inline constexpr const char* kRestore = "restore";
inline constexpr const char* kDelete = "delete";
inline constexpr const char* kUpdateConfig = "update_config";
inline constexpr const char* kUpgrade = "upgrade";
inline constexpr const char* kStopBackup = "stop_backup";
inline constexpr const char* kStopRestore = "stop_restore";
inline constexpr const char* kStopDelete = "stop_delete";
// The intent that marks a stop as made for an upgrade.
inline constexpr const char* kUpgradeIntent = "upgrade";
// The "upgrade" argument that makes the upgrader reset the agent as well.
inline constexpr const char* kResetAgentArgs = "reset_agent";
}  // namespace launch_action

namespace upload_file {
inline constexpr const char* kLog = "log";
inline constexpr const char* kDatabase = "db";
}  // namespace upload_file

// The one task type the agent creates: a file streamed to the box.
inline constexpr const char* kFileUploadTask = "file_upload";

// Log texts of the receive faults.
inline constexpr const char* kProtocolErrorText = "Tessel protocol error";
inline constexpr const char* kTwoPayloadsText = "Tessel protocol error: two payloads in a row";

}  // namespace kvn_network::tessel
