#include "kvn_log/exception.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

bool verbose() { return kvn_log::level() <= kvn_log::Debug; }

}  // namespace

KvnCommonException::KvnCommonException(const kvn_log::Location& where, const std::string& text)
    : KvnCommonException(where, KVN_E_EXCEPTION, text) {}

KvnCommonException::KvnCommonException(const kvn_log::Location& where, std::uint32_t code)
    : KvnCommonException(where, code, std::to_string(static_cast<std::int32_t>(code))) {}

KvnCommonException::KvnCommonException(const kvn_log::Location& where, std::uint32_t code,
                                       const std::string& text)
    : code(code), file(where.file), line(where.line) {
  if (verbose()) {
    std::snprintf(message, sizeof message, "from %s:%d - %s", file, line, text.c_str());
  } else {
    setMessage(text.c_str());
  }
}

KvnCommonException KvnCommonException::formatted(const kvn_log::Location& where, const char* format,
                                                 ...) {
  KvnCommonException e(where, KVN_E_EXCEPTION, std::string());
  int used = 0;
  if (verbose()) used = std::snprintf(e.message, sizeof e.message, "%s(%d) - ", e.file, e.line);
  if (used < 0 || static_cast<std::size_t>(used) >= sizeof e.message) used = 0;
  va_list args;
  va_start(args, format);
  std::vsnprintf(e.message + used, sizeof e.message - used, format, args);
  va_end(args);
  return e;
}

KvnCommonException KvnCommonException::withCode(const kvn_log::Location& where, std::uint32_t code,
                                                const char* format, ...) {
  char text[kMessageSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return KvnCommonException(where, code, std::string(text));
}

void KvnCommonException::setMessage(const char* text) {
  std::strncpy(message, text, sizeof message - 1);
  message[sizeof message - 1] = '\0';
}
