// Test and benchmark data for the codecs.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace kvn_test {

// The mix a file backup sees, in 4 KiB pieces: text with a large vocabulary,
// already compressed bytes (random), binary tables, and now and then zeros.
inline std::string mixedData(std::size_t size, unsigned seed = 1) {
  std::mt19937 random(seed);
  std::vector<std::string> words(4096);
  for (auto& w : words) {
    for (std::size_t n = 2 + random() % 9; n > 0; --n) w += static_cast<char>('a' + random() % 26);
  }
  std::string out;
  out.reserve(size + 8192);
  while (out.size() < size) {
    const std::size_t end = out.size() + 4096;
    const unsigned kind = random() % 10;
    if (kind < 3) {
      // Frequent words far more often than rare ones, as in prose.
      while (out.size() < end) {
        out += words[(random() % 64) * (random() % 64)];
        out += (random() % 12 == 0) ? ".\n" : " ";
      }
    } else if (kind < 6) {
      while (out.size() < end) out += static_cast<char>(random());
    } else if (kind < 9) {
      for (std::uint32_t id = random() % 1000; out.size() < end; ++id) {
        const std::uint32_t record[4] = {id, static_cast<std::uint32_t>(random() % 256),
                                         static_cast<std::uint32_t>(random() % 65536), 0};
        out.append(reinterpret_cast<const char*>(record), sizeof record);
      }
    } else {
      out.append(4096, '\0');
    }
  }
  out.resize(size);
  return out;
}

}  // namespace kvn_test
