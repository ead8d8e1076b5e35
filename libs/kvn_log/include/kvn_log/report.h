// Fixed wordings that several subsystems share.
#pragma once

#include <cstdint>
#include <string>

#include "kvn_log/log.h"

namespace kvn_log {

// Logs "sql statement '%s' failed (%s) %s %s" at error level.
void logSqlFailure(const Location& where, const std::string& statement, const std::string& error,
                   const std::string& databaseText, const std::string& driverText);

// The text sent to the box with an error report: "$e0000042" (error) or
// "$e0000041" (warning), then ": <text>" or ".".
std::string errorReportText(bool isError, const std::string& text);

// The code that travels with the report: OR-ed with 0x21000 for an error,
// 0x20000 for a warning.
std::uint32_t errorReportCode(std::uint32_t code, bool isError);

}  // namespace kvn_log
