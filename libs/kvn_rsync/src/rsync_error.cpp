#include "rsync_error.h"

#include <librsync.h>


#include "kvn_log/exception.h"

namespace kvn_rsync {

void checkJobResult(const kvn_log::Location& where, int result) {
  if (result == RS_DONE || result == RS_BLOCKED) return;
  throw KvnCommonException::withCode(where, KVN_E_SERVER, "RSync error (%d): %s", result,
                                     rs_strerror(static_cast<rs_result>(result)));
}

}  // namespace kvn_rsync
