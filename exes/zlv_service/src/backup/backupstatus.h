// The values a backup run writes into its row and sends to the box.
#pragma once

#include <QString>
#include <cstdint>

#include "kvn_network/backup_protocol.h"

namespace backup_status {

// Bits of backup.status.
inline constexpr std::int32_t kSuccess = 0x0001;
inline constexpr std::int32_t kFailed = 0x0002;
inline constexpr std::int32_t kWithErrors = 0x0008;
inline constexpr std::int32_t kLimitExceeded = 0x0010;
inline constexpr std::int32_t kStoppedByUser = 0x0080;
inline constexpr std::int32_t kStoppedForUpgrade = 0x0200;
inline constexpr std::int32_t kFinished = 0x1000;

// Overwrite the status while the run goes on.
inline constexpr std::int32_t kConnectionFailure = kFinished | kFailed;
inline constexpr std::int32_t kLocalFailure = kFinished | kWithErrors;
inline constexpr std::int32_t kUserStop = kFinished | kStoppedByUser;
inline constexpr std::int32_t kUpgradeStop = kFinished | kStoppedForUpgrade;

}  // namespace backup_status

namespace backup_report {

inline constexpr std::uint32_t kReportType = kvn_network::backup_type::kReport;
inline constexpr std::uint32_t kTextError = 0xe0000043;
inline constexpr std::uint32_t kTextUserStop = 0xe0000041;
inline constexpr std::uint32_t kTextUpgradeStop = 0xe0000042;
inline constexpr std::uint32_t kTextSnapshot = 0xe0000046;

inline constexpr std::uint32_t kStopByUser = 0x20000;
inline constexpr std::uint32_t kStopForUpgrade = 0x21000;
inline constexpr std::uint32_t kConfiguration = 0x10000;
inline constexpr std::uint32_t kPrepareFile = 0x30000;
inline constexpr std::uint32_t kTransferFile = 0x31000;
inline constexpr std::uint32_t kInsertRow = 0x50000;
inline constexpr std::uint32_t kUpdateRow = 0x60000;
inline constexpr std::uint32_t kSnapshot = 0x61000;
inline constexpr std::uint32_t kAnalysis = 0x70000;
inline constexpr std::uint32_t kLaunch = 0x80000;
inline constexpr std::uint32_t kVersion = 0x90000;

// "$" + the code in 8 lower-case hex digits + "." ; with a message,
// ": <message>" takes the place of the ".".
QString text(std::uint32_t textCode, const QString& message = {});

}  // namespace backup_report
