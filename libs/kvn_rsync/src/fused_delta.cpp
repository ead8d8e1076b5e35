#include "kvn_rsync/fused_delta.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <vector>

#include "delta_writer.h"
#include "kvn_log/exception.h"
#include "kvn_rsync/block_sums.h"
#include "kvn_rsync/signature_sums.h"
#include "signature_writer.h"

namespace kvn_rsync {

namespace {

// Windows checked together after a match, so that their strong sums share
// the vector lanes.
constexpr std::uint64_t kRun = 32;
// Data kept ahead of the search while the input lasts, for those runs.
constexpr std::uint64_t kLookaheadBytes = 0x100000;
// A literal run is written out at this length, which bounds the memory.
constexpr std::uint64_t kMaxLiteral = 0x40000;

struct KnownSums {
  bool valid = false;
  std::uint32_t weak = 0;
  std::uint8_t strong[SignatureSums::kStrongLength] = {};
};

}  // namespace

class FusedDeltaStream::Engine {
 public:
  Engine(const SignatureSums& previous, std::uint64_t newBlockLength,
         kvn_common::StreamSink& newSignature)
      : old_(previous),
        oldBlock_(previous.blockLength()),
        newBlock_(newBlockLength),
        signatureOut_(newSignature),
        signature_(static_cast<std::uint32_t>(newBlockLength)),
        shareSums_(oldBlock_ == newBlock_),
        lookahead_(oldBlock_ * std::clamp<std::uint64_t>(kLookaheadBytes / oldBlock_, 1, kRun)) {}

  void write(kvn_common::StreamSink& out, const std::uint8_t* data, std::size_t size) {
    compact();
    buffer_.insert(buffer_.end(), data, data + size);
    end_ += size;
    search(out, false);
    advanceSignature(false);
  }

  void end(kvn_common::StreamSink& out) {
    search(out, true);
    matchTail(out);
    emitLiteral(out, end_);
    advanceSignature(true);
    signature_.finish(signatureOut_);
    signatureOut_.end();
    delta_.finish(out);
    out.end();
  }

 private:
  const std::uint8_t* at(std::uint64_t position) const {
    return buffer_.data() + (position - base_);
  }

  // Drops the bytes that neither the literal, the search nor the signature
  // needs any more, once they outweigh the rest: moving the live bytes
  // (a lookahead) on every write would copy the input many times over.
  void compact() {
    const std::uint64_t keep = std::min(literal_, signed_);
    if (keep - base_ < 2 * (end_ - keep) + kLookaheadBytes) return;
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(keep - base_));
    base_ = keep;
  }

  void search(kvn_common::StreamSink& out, bool final) {
    const std::uint64_t ahead = final ? oldBlock_ : lookahead_;
    while (scan_ + ahead <= end_) {
      if (!rolling_) {
        // A failed run leaves the sum of the window at scan_ for rolling.
        if (matchRun(out) == 0) rolling_ = true;
        continue;
      }
      if (!roll(out, end_ - ahead)) break;
    }
  }

  // Checks the whole windows from scan_ on against the previous blocks and
  // copies as many as match in a row.
  std::uint64_t matchRun(kvn_common::StreamSink& out) {
    const std::uint64_t available = std::min((end_ - scan_) / oldBlock_, kRun);
    std::uint32_t weak[kRun];
    rolling_sum_.reset(at(scan_), oldBlock_);
    weak[0] = rolling_sum_.digest();
    if (!old_.hasWeak(weak[0])) return 0;
    std::uint64_t hashed = 1;
    for (; hashed < available; ++hashed) {
      weak[hashed] = weakSum(at(scan_ + hashed * oldBlock_), oldBlock_);
      if (!old_.hasWeak(weak[hashed])) break;
    }
    std::uint8_t digests[kRun * kMd4Length];
    md4Blocks(at(scan_), oldBlock_, oldBlock_, hashed, digests);
    for (std::uint64_t i = 0; i < hashed; ++i)
      remember(scan_ + i * oldBlock_, weak[i], digests + i * kMd4Length);
    std::uint64_t matched = 0;
    for (; matched < hashed; ++matched) {
      std::uint64_t block = 0;
      if (!findBlock(weak[matched], digests + matched * kMd4Length, block)) break;
      if (matched == 0) emitLiteral(out, scan_);
      delta_.copy(out, block * oldBlock_, oldBlock_);
    }
    if (matched > 0) {
      scan_ += matched * oldBlock_;
      literal_ = scan_;
    }
    return matched;
  }

  // Moves the window on a byte at a time up to last (the last window start
  // it may use). True when it stopped early: on a match, or to write out a
  // literal run that reached its limit.
  bool roll(kvn_common::StreamSink& out, std::uint64_t last) {
    const std::uint64_t stop = std::min(last, literal_ + kMaxLiteral);
    const std::uint8_t* bytes = buffer_.data();
    std::uint64_t i = scan_ - base_;
    const std::uint64_t iStop = stop > scan_ ? stop - base_ : i;
    RollingSum sum = rolling_sum_;
    bool found = false;
    std::uint64_t block = 0;
    while (i < iStop) {
      sum.rotate(bytes[i], bytes[i + oldBlock_]);
      ++i;
      const std::uint32_t weak = sum.digest();
      if (!old_.hasWeak(weak)) continue;
      std::uint8_t digest[kMd4Length];
      md4(bytes + i, oldBlock_, digest);
      remember(base_ + i, weak, digest);
      if (findBlock(weak, digest, block)) {
        found = true;
        break;
      }
    }
    scan_ = base_ + i;
    rolling_sum_ = sum;
    if (found) {
      emitLiteral(out, scan_);
      delta_.copy(out, block * oldBlock_, oldBlock_);
      scan_ += oldBlock_;
      literal_ = scan_;
      rolling_ = false;
      return true;
    }
    if (scan_ - literal_ >= kMaxLiteral) {
      emitLiteral(out, scan_);
      return true;
    }
    return false;
  }

  // The previous version's last block may be short, and only the end of the
  // new data can match it: every suffix shorter than a block is tried.
  void matchTail(kvn_common::StreamSink& out) {
    if (old_.blocks() == 0) return;
    const std::uint64_t last = old_.blocks() - 1;
    std::uint64_t from = rolling_ ? scan_ + 1 : scan_;
    if (from >= end_) return;
    RollingSum sum;
    sum.reset(at(from), end_ - from);
    for (; from < end_; sum.rollOut(*at(from)), ++from) {
      if (sum.digest() != old_.weak(last)) continue;
      std::uint8_t digest[kMd4Length];
      md4(at(from), end_ - from, digest);
      if (std::memcmp(digest, old_.strong(last), SignatureSums::kStrongLength) != 0) continue;
      emitLiteral(out, from);
      delta_.copy(out, last * oldBlock_, end_ - from);
      scan_ = literal_ = end_;
      return;
    }
  }

  // The previous block whose sums these are, preferring the one that
  // continues the pending copy so that the copy grows.
  bool findBlock(std::uint32_t weak, const std::uint8_t* digest, std::uint64_t& block) const {
    const auto strongMatches = [&](std::uint64_t candidate) {
      return std::memcmp(old_.strong(candidate), digest, SignatureSums::kStrongLength) == 0;
    };
    if (delta_.copyPending() && delta_.copyEnd() % oldBlock_ == 0) {
      const std::uint64_t next = delta_.copyEnd() / oldBlock_;
      if (next < old_.blocks() && old_.weak(next) == weak && strongMatches(next)) {
        block = next;
        return true;
      }
    }
    return old_.findBlock(weak, [&](std::uint32_t candidate) {
      if (!strongMatches(candidate)) return false;
      block = candidate;
      return true;
    });
  }

  // Sums of a window that is also a block of the new signature are kept for
  // it, so that no block is hashed twice.
  void remember(std::uint64_t position, std::uint32_t weak, const std::uint8_t* digest) {
    if (!shareSums_ || position % newBlock_ != 0 || position < signed_) return;
    const std::uint64_t slot = (position - signed_) / newBlock_;
    if (known_.size() <= slot) known_.resize(slot + 1);
    known_[slot].valid = true;
    known_[slot].weak = weak;
    std::memcpy(known_[slot].strong, digest, SignatureSums::kStrongLength);
  }

  void emitLiteral(kvn_common::StreamSink& out, std::uint64_t upTo) {
    if (upTo <= literal_) return;
    delta_.literal(out, at(literal_), upTo - literal_);
    literal_ = upTo;
  }

  bool knownAt(std::uint64_t slot) const { return slot < known_.size() && known_[slot].valid; }

  // Writes the new signature's blocks that the search has left behind (all
  // of them at the end), reusing known sums and hashing the others in
  // batches.
  void advanceSignature(bool final) {
    const std::uint64_t limit = final ? end_ : std::min(scan_, end_);
    const auto ready = [&](std::uint64_t start) {
      return start + newBlock_ <= end_ && (final || start < limit);
    };
    while (ready(signed_)) {
      if (knownAt(0)) {
        signature_.addSums(signatureOut_, known_[0].weak, known_[0].strong);
        known_.pop_front();
        signed_ += newBlock_;
        continue;
      }
      std::uint64_t count = 1;
      while (ready(signed_ + count * newBlock_) && !knownAt(count)) ++count;
      signature_.addBlocks(signatureOut_, at(signed_), count);
      known_.erase(known_.begin(),
                   known_.begin() +
                       static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(count, known_.size())));
      signed_ += count * newBlock_;
    }
    if (final && signed_ < end_) {
      signature_.addBlock(signatureOut_, at(signed_), end_ - signed_);
      signed_ = end_;
    }
  }

  const SignatureSums& old_;
  const std::uint64_t oldBlock_;
  const std::uint64_t newBlock_;
  kvn_common::StreamSink& signatureOut_;
  SignatureWriter signature_;
  DeltaWriter delta_;
  const bool shareSums_;
  const std::uint64_t lookahead_;

  // Input from base_ on; end_ is the end of all input so far. Positions are
  // offsets in the new version.
  std::vector<std::uint8_t> buffer_;
  std::uint64_t base_ = 0;
  std::uint64_t end_ = 0;
  // Start of the search window; literal_ .. scan_ is the pending literal.
  std::uint64_t scan_ = 0;
  std::uint64_t literal_ = 0;
  // The window at scan_ has been checked and rolling_sum_ holds its sum.
  bool rolling_ = false;
  RollingSum rolling_sum_;
  // The new signature is written up to signed_; known_[i] are the sums of
  // its block at signed_ + i * newBlock_ when the search has hashed it.
  std::uint64_t signed_ = 0;
  std::deque<KnownSums> known_;
};

FusedDeltaStream::FusedDeltaStream(const SignatureSums& previous, std::uint64_t newBlockLength,
                                   kvn_common::StreamSink& newSignature)
    : engine_(newBlockLength == 0 || newBlockLength > 0xffffffff
                  ? nullptr
                  : std::make_unique<Engine>(previous, newBlockLength, newSignature)) {
  if (!engine_)
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "RSync error: rs_delta_begin returned null");
}

FusedDeltaStream::~FusedDeltaStream() = default;

void FusedDeltaStream::write(const char* data, std::uint32_t size) {
  engine_->write(forward(), reinterpret_cast<const std::uint8_t*>(data), size);
}

void FusedDeltaStream::end() { engine_->end(forward()); }

}  // namespace kvn_rsync
