#include "kvn_rsync/previous_signature.h"

#include "kvn_common/pipes.h"
#include "kvn_log/exception.h"
#include "kvn_rsync/delta_stream.h"
#include "kvn_rsync/fused_delta.h"
#include "kvn_rsync/signature_engine.h"
#include "kvn_rsync/signature_sums.h"

namespace kvn_rsync {

namespace {

// librsync's delta with the new signature made beside it: the input goes
// to the signature first, then through the delta to the next element.
class TeedDelta : public kvn_common::StreamLink {
 public:
  TeedDelta(DeltaStream& delta, std::uint64_t newBlockLength, kvn_common::StreamSink& newSignature)
      : delta_(delta), signature_(newBlockLength), tee_(signature_) {
    signature_.setNext(&newSignature);
    tee_.setNext(&delta_);
  }

  void write(const char* data, std::uint32_t size) override {
    delta_.setNext(&forward());
    tee_.write(data, size);
  }
  void end() override {
    delta_.setNext(&forward());
    tee_.end();
  }

 private:
  DeltaStream& delta_;
  SignatureEngine signature_;
  kvn_common::TeePipe tee_;
};

}  // namespace

PreviousSignature::PreviousSignature(std::FILE* file) : sums_(SignatureSums::load(file)) {
  if (!sums_) librsync_ = std::make_unique<DeltaStream>(file);
}

PreviousSignature::~PreviousSignature() = default;

std::unique_ptr<kvn_common::StreamLink> PreviousSignature::deltaAndSignature(
    std::uint64_t newBlockLength, kvn_common::StreamSink& newSignature) {
  if (sums_) return std::make_unique<FusedDeltaStream>(*sums_, newBlockLength, newSignature);
  return std::make_unique<TeedDelta>(*librsync_, newBlockLength, newSignature);
}

}  // namespace kvn_rsync
