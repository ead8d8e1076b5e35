#include "rsync_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "process_runner.h"

namespace kvn_rsync_test {

std::string randomBytes(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size; i += 8) {
    const std::uint64_t value = generator();
    std::copy_n(reinterpret_cast<const char*>(&value), std::min<std::size_t>(8, size - i),
                bytes.begin() + static_cast<std::ptrdiff_t>(i));
  }
  return bytes;
}

std::string sparselyEdited(const std::string& basis) {
  constexpr std::size_t kMiB = 0x100000;
  std::string edited = basis;
  std::uint64_t seed = 1000;
  for (std::size_t at = kMiB / 2; at + 16 <= edited.size(); at += kMiB)
    edited.replace(at, 16, randomBytes(16, seed++));
  edited.insert(edited.size() / 2, randomBytes(100, seed++));
  edited.append(randomBytes(10, seed));
  return edited;
}

RecordingSink pushThrough(kvn_common::StreamLink& stream, const std::string& input,
                          std::size_t chunk) {
  RecordingSink sink;
  stream.setNext(&sink);
  for (std::size_t at = 0; at < input.size(); at += chunk) {
    const std::size_t size = std::min(chunk, input.size() - at);
    stream.write(input.data() + at, static_cast<std::uint32_t>(size));
  }
  for (std::uint32_t block : sink.blocks) EXPECT_EQ(block, 0x10000u);
  stream.end();
  EXPECT_EQ(sink.ends, 1);
  return sink;
}

void rdiff(const QStringList& arguments) {
  kvn_test::ProcessRunner runner("rdiff");
  const kvn_test::ProcessResult result = runner.run(arguments, std::chrono::minutes(5));
  ASSERT_FALSE(result.crashed) << arguments.join(' ').toStdString();
  ASSERT_EQ(result.exitCode, 0) << arguments.join(' ').toStdString() << ": "
                                << result.standardError.toStdString();
}

}  // namespace kvn_rsync_test
