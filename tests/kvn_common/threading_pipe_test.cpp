#include <gtest/gtest.h>

#include <thread>

#include "kvn_common/threading_pipe.h"
#include "recording_sink.h"

namespace {

using kvn_common::ThreadingPipe;
using kvn_test::RecordingSink;

TEST(ThreadingPipe, PassesEveryBlockInOrderOnItsWorkerAndEndsOnTheCaller) {
  RecordingSink sink;
  std::thread::id writer;
  sink.onWrite = [&](std::size_t) { writer = std::this_thread::get_id(); };
  std::string expected;
  {
    ThreadingPipe pipe;
    pipe.setNext(&sink);
    for (int i = 0; i < 200; ++i) {
      // Blocks of varying size, so the slot grows and swaps buffers.
      const std::string block(static_cast<std::size_t>((i * 7919) % 70000), static_cast<char>(i));
      expected += block;
      pipe.write(block.data(), static_cast<std::uint32_t>(block.size()));
    }
    pipe.end();
  }
  EXPECT_EQ(sink.blocks.size(), 200u);
  EXPECT_EQ(sink.text(), expected);
  EXPECT_EQ(sink.ends, 1);
  EXPECT_NE(writer, std::this_thread::get_id());
}

TEST(ThreadingPipe, DownstreamFailureReachesTheProducerAtEnd) {
  RecordingSink sink;
  sink.throwAtBlock = 3;
  ThreadingPipe pipe;
  pipe.setNext(&sink);
  for (int i = 0; i < 3; ++i) pipe.write("block", 5);
  try {
    pipe.end();
    FAIL() << "the worker's exception must be rethrown";
  } catch (const KvnCommonException& e) {
    EXPECT_EQ(e.code, KVN_E_NETWORK);
    EXPECT_STREQ(e.what(), "sink failed");
  }
  EXPECT_EQ(sink.ends, 0);
}

TEST(ThreadingPipe, DownstreamFailureReachesTheProducerAtTheNextWrite) {
  RecordingSink sink;
  sink.throwAtBlock = 3;
  ThreadingPipe pipe;
  pipe.setNext(&sink);
  int written = 0;
  try {
    // The producer runs at most one block ahead, so the failure of block 3
    // shows by the fifth write at the latest.
    for (; written < 5; ++written) pipe.write("block", 5);
    FAIL() << "the worker's exception must be rethrown";
  } catch (const KvnCommonException& e) {
    EXPECT_EQ(e.code, KVN_E_NETWORK);
  }
  EXPECT_GE(written, 3);
  EXPECT_EQ(sink.blocks.size(), 3u);
}

TEST(ThreadingPipe, DestroyingWithoutEndStopsTheWorker) {
  RecordingSink sink;
  {
    ThreadingPipe pipe;
    pipe.setNext(&sink);
    pipe.write("abc", 3);
  }
  EXPECT_EQ(sink.ends, 0);
  EXPECT_LE(sink.blocks.size(), 1u);
}

}  // namespace
