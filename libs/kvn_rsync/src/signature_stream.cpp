#include "kvn_rsync/signature_stream.h"

#include <librsync.h>

#include "kvn_log/exception.h"

namespace kvn_rsync {

SignatureStream::SignatureStream(std::uint64_t blockLength) {
  rs_job_t* job = rs_sig_begin(blockLength, kStrongSumLength, RS_MD4_SIG_MAGIC);
  // The text names rs_delta_begin for both streams; log readers know it so.
  if (job == nullptr)
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "RSync error: rs_delta_begin returned null");
  setJob(job);
}

}  // namespace kvn_rsync
