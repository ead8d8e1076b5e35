// The end of the receive chain for a file's delta: it applies the delta to
// the stored basis while the delta arrives, writing the draft's content, so
// that the confirmation finds the version already rebuilt.
#pragma once

#include <QString>
#include <cstdint>
#include <memory>

#include "kvn_common/file_sink.h"
#include "kvn_common/pipes.h"
#include "kvn_common/stream.h"
#include "kvn_rsync/patch_stream.h"

namespace boxsim {

class DeltaPatchSink : public kvn_common::StreamSink {
 public:
  // Creates the content file; throws KvnCommonException when it cannot. A
  // basis that cannot be opened is a delta that does not apply.
  DeltaPatchSink(const QString& basisPath, const QString& contentPath);
  ~DeltaPatchSink() override;
  DeltaPatchSink(const DeltaPatchSink&) = delete;
  DeltaPatchSink& operator=(const DeltaPatchSink&) = delete;

  // A delta that stops applying is logged once and the rest of it is
  // taken and dropped: the transfer itself stays sound, and the refusal
  // comes with the confirmation.
  void write(const char* data, std::uint32_t size) override;
  void end() override;

  // The whole delta arrived and the content it rebuilt was written.
  bool applied() const { return ended_ && !failed_; }
  std::uint64_t contentBytes() const { return counted_.count(); }

 private:
  void fail(const char* what);
  std::size_t readBasis(std::int64_t offset, std::size_t length, char* buffer) const;

  QString basisPath_;
  int basis_ = -1;
  kvn_rsync::PatchStream patch_;
  kvn_common::CountPipe counted_;
  kvn_common::FileSink content_;
  bool failed_ = false;
  bool ended_ = false;
};

}  // namespace boxsim
