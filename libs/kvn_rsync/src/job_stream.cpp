#include "kvn_rsync/job_stream.h"

#include <librsync.h>

#include "kvn_log/exception.h"
#include "rsync_error.h"

namespace kvn_rsync {

RsyncJobStream::RsyncJobStream(std::size_t outputBlock)
    : outputBlock_(outputBlock), output_(std::make_unique_for_overwrite<char[]>(outputBlock)) {}

RsyncJobStream::~RsyncJobStream() { freeJob(); }

void RsyncJobStream::freeJob() {
  if (job_ != nullptr) rs_job_free(job_);
  job_ = nullptr;
}

void RsyncJobStream::resetOutput(rs_buffers_s& buffers) {
  buffers.next_out = output_.get() + held_;
  buffers.avail_out = outputBlock_ - held_;
}

int RsyncJobStream::iterate(rs_buffers_s& buffers) {
  const rs_result result = rs_job_iter(job_, &buffers);
  held_ = outputBlock_ - buffers.avail_out;
  if (pendingError_) {
    std::exception_ptr error = std::move(pendingError_);
    pendingError_ = nullptr;
    std::rethrow_exception(error);
  }
  checkJobResult(KVN_HERE, result);
  return result;
}

void RsyncJobStream::flush() {
  if (held_ == 0) return;
  const std::uint32_t size = static_cast<std::uint32_t>(held_);
  held_ = 0;
  forward().write(output_.get(), size);
}

void RsyncJobStream::write(const char* data, std::uint32_t size) {
  prepareJob();
  rs_buffers_t buffers{};
  // librsync only reads through next_in; the cast spares a copy of the input.
  buffers.next_in = const_cast<char*>(data);
  buffers.avail_in = size;
  buffers.eof_in = 0;
  resetOutput(buffers);
  while (buffers.avail_in > 0) {
    iterate(buffers);
    // Only whole blocks leave while data comes in; the rest waits for the
    // next write or for end().
    if (held_ == outputBlock_) {
      flush();
      resetOutput(buffers);
    }
  }
}

void RsyncJobStream::end() {
  prepareJob();
  if (job_ != nullptr) {
    rs_buffers_t buffers{};
    buffers.eof_in = 1;
    for (;;) {
      resetOutput(buffers);
      const std::size_t heldBefore = held_;
      const int result = iterate(buffers);
      const bool produced = held_ != heldBefore;
      flush();
      if (result == RS_DONE) break;
      // With the whole output space free and no input left, a job that
      // neither finishes nor produces anything would spin here for ever.
      if (!produced && heldBefore == 0) checkJobResult(KVN_HERE, RS_INTERNAL_ERROR);
    }
    const rs_result freed = rs_job_free(job_);
    job_ = nullptr;
    checkJobResult(KVN_HERE, freed);
  }
  forward().end();
}

}  // namespace kvn_rsync
