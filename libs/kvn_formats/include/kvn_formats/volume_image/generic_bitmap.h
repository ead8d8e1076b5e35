// A bitmap over the bytes of a volume: bit b (bit b mod 8 of byte b / 8,
// least significant first) covers the volume bytes from b × granularity up to
// (b + 1) × granularity − 1. A set bit means the file system uses that
// cluster.
#pragma once

#include <cstdint>
#include <vector>

namespace kvn_formats::volume_image {

class GenericBitmap {
 public:
  GenericBitmap() = default;
  // granularity is the cluster size in bytes; it must not be zero.
  GenericBitmap(std::vector<std::uint8_t> data, std::uint64_t granularity);
  // A bitmap of bytes bytes, every bit set or every bit clear.
  static GenericBitmap filled(std::uint64_t bytes, std::uint64_t granularity, bool set);

  const std::uint8_t* data() const { return data_.data(); }
  std::uint8_t* data() { return data_.data(); }
  std::uint64_t size() const { return data_.size(); }
  std::uint64_t granularity() const { return granularity_; }

  // The bit of the cluster that holds offset. Throws "GenericBitmap: value
  // is out of bounds" beyond the bitmap.
  bool isSet(std::uint64_t offset) const;
  // Whether any cluster of [offset, offset + length) is used. Throws
  // "GenericBitmap: length is zero" and "GenericBitmap: range is out of
  // bounds".
  bool anySet(std::uint64_t offset, std::uint64_t length) const;

  // Sets or clears the bit of cluster index cluster (no check beyond the
  // vector's own).
  void setCluster(std::uint64_t cluster, bool used);

 private:
  std::vector<std::uint8_t> data_;
  std::uint64_t granularity_ = 1;
};

}  // namespace kvn_formats::volume_image
