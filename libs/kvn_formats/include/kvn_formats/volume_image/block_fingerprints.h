// Fast fingerprints of the blocks of one volume image, kept on the agent
// beside the image's hashmap. A delta reads every used block anyway, but
// MD5 is its most expensive part: a block whose fingerprint and chunk map are
// those of the parent's has the parent's bytes, so its digest is taken from
// the parent's hashmap instead of being computed again.
//
// A fingerprint is the 128-bit XXH3 of the block's bytes under a random
// secret of the set: without the secret nobody can make two different blocks
// fingerprint alike. A set is tied to its hashmap by the image id and the
// block count; it never leaves the agent, and losing it only costs time.
//
// File: "KvFp", version, image id, block count, secret, one fingerprint per
// block, one byte per block (1 when its fingerprint is known), and the XXH64
// of everything before it. Integers in the machine's byte order.
#pragma once

#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "kvn_formats/volume_image/hashmap_records.h"

namespace kvn_formats::volume_image {

using BlockFingerprint = std::array<std::uint8_t, 16>;

class BlockFingerprints {
 public:
  static constexpr std::size_t kSecretSize = 192;

  // An empty set for an image of blockCount blocks, with a fresh secret.
  BlockFingerprints(const Uuid& imageId, std::uint64_t blockCount);
  // An empty set that fingerprints with parent's secret, so that its
  // fingerprints compare with the parent's.
  BlockFingerprints(const Uuid& imageId, std::uint64_t blockCount, const BlockFingerprints& parent);

  // The set saved at path for the image imageId of blockCount blocks;
  // nothing, with the reason in *why, when the file is missing, damaged or
  // belongs to another image.
  static std::optional<BlockFingerprints> load(const QString& path, const Uuid& imageId,
                                               std::uint64_t blockCount, QString* why);
  // Writes the whole set to path; false with the reason in *why.
  bool save(const QString& path, QString* why) const;

  BlockFingerprint compute(const std::uint8_t* data, std::uint64_t length) const;
  // Sets of distinct blocks may be made from different threads at once.
  // Both throw std::out_of_range beyond the block count.
  void set(std::uint64_t index, const BlockFingerprint& print);
  // True when the block's fingerprint is known and equal to print.
  bool matches(std::uint64_t index, const BlockFingerprint& print) const;

  const Uuid& imageId() const { return imageId_; }
  std::uint64_t blockCount() const { return prints_.size(); }

 private:
  BlockFingerprints() = default;
  void checkIndex(std::uint64_t index) const;

  Uuid imageId_{};
  std::array<std::uint8_t, kSecretSize> secret_{};
  std::vector<BlockFingerprint> prints_;
  std::vector<std::uint8_t> known_;
};

}  // namespace kvn_formats::volume_image
