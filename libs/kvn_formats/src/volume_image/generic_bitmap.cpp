#include "kvn_formats/volume_image/generic_bitmap.h"

#include "kvn_log/exception.h"

namespace kvn_formats::volume_image {

namespace {

[[noreturn]] void fail(const kvn_log::Location& where, const char* text) {
  throw KvnCommonException(where, KVN_E_EXCEPTION, text);
}

}  // namespace

GenericBitmap::GenericBitmap(std::vector<std::uint8_t> data, std::uint64_t granularity)
    : data_(std::move(data)), granularity_(granularity) {
  if (granularity_ == 0) fail(KVN_HERE, "GenericBitmap: granularity is zero");
}

GenericBitmap GenericBitmap::filled(std::uint64_t bytes, std::uint64_t granularity, bool set) {
  return GenericBitmap(std::vector<std::uint8_t>(bytes, set ? 0xFF : 0x00), granularity);
}

bool GenericBitmap::isSet(std::uint64_t offset) const {
  const std::uint64_t bit = offset / granularity_;
  if (bit / 8 >= data_.size()) fail(KVN_HERE, "GenericBitmap: value is out of bounds");
  return (data_[bit / 8] >> (bit % 8)) & 1;
}

bool GenericBitmap::anySet(std::uint64_t offset, std::uint64_t length) const {
  if (length == 0) fail(KVN_HERE, "GenericBitmap: length is zero");
  if (offset + (length - 1) < offset) fail(KVN_HERE, "GenericBitmap: range is out of bounds");
  const std::uint64_t first = offset / granularity_;
  const std::uint64_t last = (offset + length - 1) / granularity_;
  if (first / 8 >= data_.size() || last / 8 >= data_.size()) {
    fail(KVN_HERE, "GenericBitmap: range is out of bounds");
  }
  const auto firstMask = static_cast<std::uint8_t>(0xFFu << (first % 8));
  const auto lastMask = static_cast<std::uint8_t>(0xFFu >> (7 - last % 8));
  const std::uint64_t firstByte = first / 8;
  const std::uint64_t lastByte = last / 8;
  if (firstByte == lastByte) return (data_[firstByte] & firstMask & lastMask) != 0;
  if ((data_[firstByte] & firstMask) != 0 || (data_[lastByte] & lastMask) != 0) return true;
  for (std::uint64_t i = firstByte + 1; i < lastByte; ++i) {
    if (data_[i] != 0) return true;
  }
  return false;
}

void GenericBitmap::setCluster(std::uint64_t cluster, bool used) {
  const auto bit = static_cast<std::uint8_t>(1u << (cluster % 8));
  if (used) {
    data_[cluster / 8] |= bit;
  } else {
    data_[cluster / 8] &= static_cast<std::uint8_t>(~bit);
  }
}

}  // namespace kvn_formats::volume_image
