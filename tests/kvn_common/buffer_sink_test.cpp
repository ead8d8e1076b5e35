#include <gtest/gtest.h>
#include <sys/mman.h>

#include <string>

#include "kvn_common/buffer_sink.h"
#include "kvn_log/exception.h"

namespace {

using kvn_common::BufferSink;

std::string readAll(BufferSink& sink, std::uint32_t n) {
  std::string out(n, '\0');
  out.resize(sink.read(n, out.data()));
  return out;
}

TEST(BufferSink, GrowsByTheRuleFromNothing) {
  BufferSink sink(0);
  EXPECT_EQ(sink.capacity(), 0u);
  sink.write("0123456789", 10);
  EXPECT_EQ(sink.capacity(), 4096u);
  EXPECT_EQ(sink.size(), 10u);
  // Doubling while small.
  const std::string block(5000, 'a');
  sink.write(block.data(), 5000);
  EXPECT_EQ(sink.capacity(), 8192u);
  // At most 1 MiB per step once large, unless one write needs more.
  BufferSink large(0x300000);
  const std::string big(0x300001, 'b');
  large.write(big.data(), 0x300000);
  large.write("c", 1);
  EXPECT_EQ(large.capacity(), 0x400000u);
  const std::string huge(0x500000, 'd');
  large.write(huge.data(), 0x500000);
  EXPECT_EQ(large.capacity(), 0x800001u);
}

TEST(BufferSink, KeepsOrderAcrossTheRingEndAndWhileGrowing) {
  BufferSink sink(16);
  sink.write("abcdefghijkl", 12);
  EXPECT_EQ(readAll(sink, 10), "abcdefghij");
  sink.write("mnopqrst", 8);  // wraps around the end
  EXPECT_EQ(sink.capacity(), 16u);
  EXPECT_EQ(sink.skip(3), 3u);         // drops "klm"
  sink.write("uvwxyz0123456789", 16);  // grows while wrapped
  EXPECT_EQ(sink.size(), 23u);
  EXPECT_EQ(readAll(sink, 100), "nopqrstuvwxyz0123456789");
  EXPECT_EQ(sink.size(), 0u);
  EXPECT_EQ(sink.read(5, nullptr), 0u);
  EXPECT_EQ(sink.skip(5), 0u);
}

TEST(BufferSink, RefusesToGrowBeyond512MiB) {
  // Zero pages from an anonymous mapping cost no memory to read.
  const std::size_t size = BufferSink::kMaxCapacity;
  void* zeros = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(zeros, MAP_FAILED);
  {
    BufferSink sink(0);
    sink.write(static_cast<const char*>(zeros), static_cast<std::uint32_t>(size));
    EXPECT_EQ(sink.size(), size);
    try {
      sink.write("x", 1);
      FAIL() << "the limit must hold";
    } catch (const KvnCommonException& e) {
      EXPECT_EQ(e.code, kvn_common::KVN_E_BUFFER_LIMIT);
      EXPECT_STREQ(e.what(), "BufferSink buffer memory limit reached");
    }
    EXPECT_EQ(sink.size(), size);
  }
  ::munmap(zeros, size);
  // A single write whose size would overflow 32 bits must not wrap around.
  BufferSink sink(0);
  sink.write("abc", 3);
  EXPECT_THROW(sink.write("", 0xFFFFFFFFu), KvnCommonException);
}

}  // namespace
