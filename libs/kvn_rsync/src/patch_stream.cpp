#include "kvn_rsync/patch_stream.h"

#include <librsync.h>

#include "kvn_log/exception.h"
#include "rsync_error.h"

namespace kvn_rsync {

// librsync's copy callback: it asks for basis bytes at a position.
struct PatchCallback {
  static rs_result copyBasis(void* self, rs_long_t position, std::size_t* length, void** buffer) {
    auto* stream = static_cast<PatchStream*>(self);
    try {
      *length = stream->readBasis(position, *length, static_cast<char*>(*buffer));
      return RS_DONE;
    } catch (...) {
      stream->keepError(std::current_exception());
      return RS_IO_ERROR;
    }
  }
};

PatchStream::PatchStream(BasisReader reader, bool sequential, std::size_t outputBlock)
    : RsyncJobStream(outputBlock), reader_(std::move(reader)), sequential_(sequential) {}

void PatchStream::prepareJob() {
  // Also reached from end(): an empty delta lacks even the magic number and
  // must fail like any other truncated delta instead of giving an empty file.
  if (hasJob()) return;
  rs_job_t* job = rs_patch_begin(&PatchCallback::copyBasis, this);
  if (job == nullptr)
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "RSync error: rs_patch_begin returned null");
  setJob(job);
}

std::size_t PatchStream::readBasis(std::int64_t position, std::size_t length, char* buffer) {
  std::size_t got = 0;
  if (sequential_) {
    if (position < position_) {
      throw KvnCommonException::withCode(
          KVN_HERE, kRollbackError, "rs_callback cannot rollback %lld > %lld",
          static_cast<long long>(position_), static_cast<long long>(position));
    }
    got = reader_(position - position_, length, buffer);
    position_ = position + static_cast<std::int64_t>(got);
  } else {
    got = reader_(position, length, buffer);
  }
  if (got == 0)
    throw KvnCommonException::withCode(KVN_HERE, KVN_E_SERVER, "rs_callback reached EoF (pos=%lld)",
                                       static_cast<long long>(position));
  return got;
}

}  // namespace kvn_rsync
