// Big-endian fields on a file device, shared by the hashmap reader and
// writer. A short write throws "write: Failed to write a value", a short
// read "read: Failed to read a value", both with KVN_E_SERVER.
#pragma once

#include <QIODevice>
#include <cstdint>
#include <cstring>
#include <string>

#include "kvn_log/exception.h"

namespace kvn_formats::volume_image::io {

// Big-endian packing into a byte buffer, for records written in one piece.
class Packer {
 public:
  explicit Packer(std::uint8_t* out) : out_(out) {}
  void u32(std::uint32_t v) { put(v, 4); }
  void u64(std::uint64_t v) { put(v, 8); }
  void raw(const void* data, std::size_t size) {
    std::memcpy(out_ + pos_, data, size);
    pos_ += size;
  }
  std::size_t position() const { return pos_; }

 private:
  void put(std::uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i) out_[pos_++] = static_cast<std::uint8_t>(v >> (8 * i));
  }
  std::uint8_t* out_;
  std::size_t pos_ = 0;
};

class Unpacker {
 public:
  explicit Unpacker(const std::uint8_t* in) : in_(in) {}
  std::uint32_t u32() { return static_cast<std::uint32_t>(get(4)); }
  std::uint64_t u64() { return get(8); }
  void raw(void* data, std::size_t size) {
    std::memcpy(data, in_ + pos_, size);
    pos_ += size;
  }

 private:
  std::uint64_t get(int bytes) {
    std::uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v = (v << 8) | in_[pos_++];
    return v;
  }
  const std::uint8_t* in_;
  std::size_t pos_ = 0;
};

// Throws "write: Failed to write a value" unless all size bytes were written.
void writeValue(QIODevice& device, const void* data, std::size_t size);
// Throws "read: Failed to read a value" unless exactly size bytes were read.
void readValue(QIODevice& device, void* data, std::size_t size);

// A KvnQFileException with code KVN_E_SERVER carrying the device's error.
KvnQFileException fileError(const kvn_log::Location& where, const QIODevice& device,
                            const char* text);
// Seeks or throws "<owner>: seek failed!" as a file error with
// PositionError.
void seekOrThrow(QIODevice& device, std::uint64_t offset, const char* owner);

}  // namespace kvn_formats::volume_image::io
