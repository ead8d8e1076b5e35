// Shared helpers of the packet and compressor tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "../kvn_crypto/crypto_test_support.h"
#include "kvn_log/exception.h"
#include "temp_dir.h"

namespace kvn_test {

using ByteVector = std::vector<std::uint8_t>;

// Text-like bytes that compress, followed by random bytes that do not.
inline ByteVector mixedBytes(std::size_t size, unsigned seed = 7) {
  ByteVector out(size);
  std::mt19937 random(seed);
  const std::string words = "backup box agent volume signature delta chunk ";
  for (std::size_t i = 0; i < size; ++i)
    out[i] = i < size / 2 ? static_cast<std::uint8_t>(words[(i * 7 + i / 13) % words.size()])
                          : static_cast<std::uint8_t>(random());
  return out;
}

// Runs python3 with the script on input bytes and returns its output bytes.
inline ByteVector pythonFilter(const std::string& script, const ByteVector& input) {
  TempDir dir;
  writeFile(dir.file("in"), std::string(input.begin(), input.end()));
  writeFile(dir.file("s.py"), script);
  const std::string command =
      "python3 " + dir.file("s.py") + " < " + dir.file("in") + " > " + dir.file("out");
  EXPECT_EQ(std::system(command.c_str()), 0) << command;
  const std::string out = readFile(dir.file("out"));
  return ByteVector(out.begin(), out.end());
}

inline const char* kZlibDecompress =
    "import sys, zlib\nsys.stdout.buffer.write(zlib.decompress(sys.stdin.buffer.read()))\n";
inline const char* kZlibCompress =
    "import sys, zlib\nsys.stdout.buffer.write(zlib.compress(sys.stdin.buffer.read(), 6))\n";

}  // namespace kvn_test
