// A previous version's signature in the format this library writes (MD4,
// strong sums of 8 bytes), loaded into memory and indexed by weak sum for
// the hand-written delta.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

namespace kvn_rsync {

class SignatureSums {
 public:
  static constexpr std::size_t kStrongLength = 8;
  // Longer blocks are left to librsync: the delta holds a whole block in
  // memory, and only a damaged or foreign signature names such a length.
  static constexpr std::uint32_t kMaxBlockLength = 0x1000000;

  // Reads the rest of file when it holds this format. Any other format
  // (another magic or strong-sum length, an unusable block length, fewer
  // bytes than a header) returns null with the file back where it was, for
  // librsync to read. A truncated body or a read error throws kLoadSigError
  // with "RSync loadsig error (%d): %s", as librsync would.
  static std::unique_ptr<SignatureSums> load(std::FILE* file);

  std::uint32_t blockLength() const { return blockLength_; }
  std::size_t blocks() const { return weak_.size(); }
  std::uint32_t weak(std::size_t block) const { return weak_[block]; }
  const std::uint8_t* strong(std::size_t block) const {
    return strong_.data() + block * kStrongLength;
  }

  // Whether some block has this weak sum; most answers come from an empty
  // bucket without looking at any sum.
  bool hasWeak(std::uint32_t weak) const {
    const std::uint32_t bucket = bucketOf(weak);
    for (std::uint32_t i = first_[bucket]; i < first_[bucket + 1]; ++i) {
      if (weak_[order_[i]] == weak) return true;
    }
    return false;
  }
  // Calls match(block) for the blocks whose weak sum is weak (one of each
  // set of blocks with equal sums), until it returns true; returns whether
  // one did.
  template <typename Match>
  bool findBlock(std::uint32_t weak, Match match) const {
    const std::uint32_t bucket = bucketOf(weak);
    for (std::uint32_t i = first_[bucket]; i < first_[bucket + 1]; ++i) {
      if (weak_[order_[i]] == weak && match(order_[i])) return true;
    }
    return false;
  }

 private:
  SignatureSums() = default;
  void index();
  std::uint64_t strongKey(std::size_t block) const;
  std::uint32_t bucketOf(std::uint32_t weak) const { return (weak * 0x9e3779b1u) >> shift_; }

  std::uint32_t blockLength_ = 0;
  std::vector<std::uint32_t> weak_;
  std::vector<std::uint8_t> strong_;
  // Blocks sorted by bucket; bucket b holds order_[first_[b] .. first_[b+1]).
  std::vector<std::uint32_t> order_;
  std::vector<std::uint32_t> first_;
  int shift_ = 32;
};

}  // namespace kvn_rsync
