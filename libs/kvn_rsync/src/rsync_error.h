// Exceptions of the rsync elements, with the librsync result in the text.
#pragma once

#include <cstdint>

#include "kvn_log/log.h"

namespace kvn_rsync {

// Throws "RSync error (%d): %s" with KVN_E_SERVER unless result is RS_DONE
// or RS_BLOCKED.
void checkJobResult(const kvn_log::Location& where, int result);

}  // namespace kvn_rsync
