// Byte buffers and the little-endian integer layout that every message of
// the box protocol uses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace kvn_crypto {

using Bytes = std::vector<std::uint8_t>;

template <typename T>
void appendLe(Bytes& out, T value) {
  static_assert(std::is_integral_v<T>);
  using U = std::make_unsigned_t<T>;
  U v = static_cast<U>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFF));
    v = static_cast<U>(v >> 8);
  }
}

// Reads sizeof(T) bytes at p; the caller has checked that they are there.
template <typename T>
T readLe(const std::uint8_t* p) {
  static_assert(std::is_integral_v<T>);
  using U = std::make_unsigned_t<T>;
  U v = 0;
  for (std::size_t i = sizeof(T); i > 0; --i) v = static_cast<U>((v << 8) | p[i - 1]);
  return static_cast<T>(v);
}

template <typename T>
void writeLe(std::uint8_t* p, T value) {
  using U = std::make_unsigned_t<T>;
  U v = static_cast<U>(value);
  for (std::size_t i = 0; i < sizeof(T); ++i) {
    p[i] = static_cast<std::uint8_t>(v & 0xFF);
    v = static_cast<U>(v >> 8);
  }
}

inline Bytes toBytes(const std::string& text) { return Bytes(text.begin(), text.end()); }
inline std::string toString(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

}  // namespace kvn_crypto
