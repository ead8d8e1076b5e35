#include "kvn_rsync/delta_stream.h"

#include <librsync.h>

#include "kvn_log/exception.h"
#include "rsync_error.h"

namespace kvn_rsync {

namespace {

[[noreturn]] void failLoad(rs_signature_t* signature, rs_result result) {
  // librsync leaves a partly loaded set to the caller.
  if (signature != nullptr) rs_free_sumset(signature);
  throw KvnCommonException::withCode(KVN_HERE, kLoadSigError, "RSync loadsig error (%d): %s",
                                     result, rs_strerror(result));
}

}  // namespace

DeltaStream::DeltaStream(std::FILE* signatureFile) {
  rs_signature_t* signature = nullptr;
  rs_result result = rs_loadsig_file(signatureFile, &signature, nullptr);
  if (result != RS_DONE) failLoad(signature, result);
  result = rs_build_hash_table(signature);
  if (result != RS_DONE) failLoad(signature, result);
  rs_job_t* job = rs_delta_begin(signature);
  if (job == nullptr) {
    rs_free_sumset(signature);
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "RSync error: rs_delta_begin returned null");
  }
  signature_ = signature;
  setJob(job);
}

DeltaStream::~DeltaStream() {
  // The job refers to the signature set, so it goes first.
  freeJob();
  rs_free_sumset(signature_);
}

}  // namespace kvn_rsync
