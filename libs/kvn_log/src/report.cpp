#include "kvn_log/report.h"

#include <cstdio>

#include "kvn_log/errors.h"

namespace kvn_log {

std::string codeText(std::uint32_t code) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08x", code);
  return text;
}

void logSqlFailure(const Location& where, const std::string& statement, const std::string& error,
                   const std::string& databaseText, const std::string& driverText) {
  if (!enabled(Error)) return;
  log(Error, where, "sql statement '%s' failed (%s) %s %s", statement.c_str(), error.c_str(),
      databaseText.c_str(), driverText.c_str());
}

std::string errorReportText(bool isError, const std::string& text) {
  char head[16];
  std::snprintf(head, sizeof head, "$%08x", isError ? 0xE0000042u : 0xE0000041u);
  return std::string(head) + (text.empty() ? std::string(".") : ": " + text);
}

std::uint32_t errorReportCode(std::uint32_t code, bool isError) {
  return code | (isError ? 0x21000u : 0x20000u);
}

}  // namespace kvn_log
