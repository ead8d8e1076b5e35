#include "rsync_error.h"

#include <librsync.h>

#include <cstdarg>
#include <cstdio>

#include "kvn_log/exception.h"

namespace kvn_rsync {

void throwCode(const kvn_log::Location& where, std::uint32_t code, const char* format, ...) {
  char text[KvnCommonException::kMessageSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  throw KvnCommonException(where, code, text);
}

void checkJobResult(const kvn_log::Location& where, int result) {
  if (result == RS_DONE || result == RS_BLOCKED) return;
  throwCode(where, KVN_E_SERVER, "RSync error (%d): %s", result,
            rs_strerror(static_cast<rs_result>(result)));
}

}  // namespace kvn_rsync
