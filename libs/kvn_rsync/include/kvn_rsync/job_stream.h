// The part shared by the signature, delta and patch elements: it pushes the
// bytes written into it through a librsync job and passes the job's output
// on in blocks of exactly one output block (64 KiB unless the element asks
// for another size), with the remainder at end().
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>

#include "kvn_common/stream.h"

struct rs_job;
struct rs_buffers_s;

namespace kvn_rsync {

class RsyncJobStream : public kvn_common::StreamLink {
 public:
  static constexpr std::size_t kOutputBlock = 0x10000;

  ~RsyncJobStream() override;
  RsyncJobStream(const RsyncJobStream&) = delete;
  RsyncJobStream& operator=(const RsyncJobStream&) = delete;

  // Job failures throw KvnCommonException with KVN_E_SERVER and
  // "RSync error (%d): %s".
  void write(const char* data, std::uint32_t size) override;
  void end() override;

 protected:
  explicit RsyncJobStream(std::size_t outputBlock = kOutputBlock);

  // Takes ownership of job.
  void setJob(rs_job* job) { job_ = job; }
  bool hasJob() const { return job_ != nullptr; }
  void freeJob();

  // Called before the job is used; a stream may create its job here.
  virtual void prepareJob() {}

  // A librsync callback cannot let an exception through the C library: it
  // keeps it here and fails the call, and the stream rethrows it once
  // rs_job_iter has returned.
  void keepError(std::exception_ptr error) { pendingError_ = std::move(error); }

 private:
  // One rs_job_iter call; rethrows a kept error before judging the result.
  int iterate(rs_buffers_s& buffers);
  // Points the buffers at the free part of the output block.
  void resetOutput(rs_buffers_s& buffers);
  // Passes on the held bytes when there are any.
  void flush();

  rs_job* job_ = nullptr;
  std::size_t outputBlock_;
  std::unique_ptr<char[]> output_;
  std::size_t held_ = 0;
  std::exception_ptr pendingError_;
};

}  // namespace kvn_rsync
