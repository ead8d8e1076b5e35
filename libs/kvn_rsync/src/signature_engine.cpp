#include "kvn_rsync/signature_engine.h"

#include <algorithm>
#include <cstring>

#include "kvn_log/exception.h"
#include "kvn_rsync/block_sums.h"
#include "signature_writer.h"

namespace kvn_rsync {

namespace {
// Blocks gathered before hashing when writes are smaller than a block, so
// that the lanes still get whole batches; capped in bytes.
constexpr std::uint64_t kGatherBytes = 0x1000000;
constexpr std::uint64_t kGatherBlocks = 32;
}  // namespace

SignatureEngine::SignatureEngine(std::uint64_t blockLength)
    : blockLength_(blockLength),
      writer_(std::make_unique<SignatureWriter>(static_cast<std::uint32_t>(blockLength))) {
  if (blockLength == 0 || blockLength > 0xffffffff)
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "RSync error: rs_delta_begin returned null");
  const std::uint64_t blocks = std::max<std::uint64_t>(
      1, std::min(kGatherBlocks, kGatherBytes / std::max<std::uint64_t>(blockLength, 1)));
  capacity_ = blocks * blockLength;
  pending_ = std::make_unique_for_overwrite<std::uint8_t[]>(capacity_);
}

SignatureEngine::~SignatureEngine() = default;

void SignatureEngine::write(const char* data, std::uint32_t size) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
  std::size_t left = size;
  const std::size_t capacity = capacity_;
  while (left > 0) {
    if (held_ == 0 && left >= capacity) {
      const std::size_t whole = left / blockLength_;
      writer_->addBlocks(forward(), bytes, whole);
      bytes += whole * blockLength_;
      left -= whole * blockLength_;
      continue;
    }
    const std::size_t take = std::min(left, capacity - held_);
    std::memcpy(pending_.get() + held_, bytes, take);
    held_ += take;
    bytes += take;
    left -= take;
    if (held_ == capacity) {
      writer_->addBlocks(forward(), pending_.get(), capacity / blockLength_);
      held_ = 0;
    }
  }
}

void SignatureEngine::end() {
  const std::size_t whole = held_ / blockLength_;
  writer_->addBlocks(forward(), pending_.get(), whole);
  const std::size_t rest = held_ - whole * blockLength_;
  if (rest > 0) writer_->addBlock(forward(), pending_.get() + whole * blockLength_, rest);
  held_ = 0;
  writer_->finish(forward());
  forward().end();
}

}  // namespace kvn_rsync
