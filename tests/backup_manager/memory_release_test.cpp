// The agent runs for months: what a backup run freed must not stay
// resident once no run is left.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <latch>
#include <vector>

#include "backup/backupmanager.h"
#include "kvn_log/errors.h"
#include "kvn_platform/process_setup.h"
#include "process_runner.h"

namespace {

using namespace std::chrono_literals;

// The service sets its allocator up before any thread starts; so does this
// test binary, before main.
const bool allocatorSetUp = [] {
  kvn_platform::tuneMemoryAllocator();
  kvn_platform::limitAllocatorPools();
  return true;
}();

// Resident bytes of this process.
long residentBytes() {
  long pages = 0, resident = 0;
  std::ifstream("/proc/self/statm") >> pages >> resident;
  return resident * ::sysconf(_SC_PAGESIZE);
}

// Waits while the agent idles until the process holds less than a quarter
// of what a run allocated above before; the manager gives memory back on
// its own thread, which a loaded machine may run late.
::testing::AssertionResult residentGrowthFalls(long before, long allocated) {
  if (kvn_test::waitFor([&] { return residentBytes() - before < allocated / 4; }, 10s))
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "resident growth " << residentBytes() - before << " of "
                                       << allocated << " bytes allocated";
}

// Leaves its thread's heap full of freed small blocks (packets, file
// records), with one block still in use at the top so that the allocator
// cannot shrink the heap by itself: the pages stay unless given back.
class FragmentingRun : public BackupRun {
 public:
  explicit FragmentingRun(std::atomic<void*>* kept) : kept_(kept) {}
  std::uint32_t run() override {
    std::vector<void*> blocks(kBlocks);
    for (void*& block : blocks) {
      block = std::malloc(kBlockSize);
      std::memset(block, 1, kBlockSize);
    }
    *kept_ = blocks.back();
    blocks.pop_back();
    for (void* block : blocks) std::free(block);
    return KVN_OK;
  }
  void requestStop(bool) override {}

  static constexpr int kBlocks = 160000;
  static constexpr std::size_t kBlockSize = 256;

 private:
  std::atomic<void*>* kept_;
};

// One run of Run (which leaves one block in use, in kept) under a manager
// that stays: once the run is over, what it freed leaves the process.
template <class Run>
void expectOneRunGivesItsMemoryBack() {
  std::atomic<void*> kept{nullptr};
  const long before = residentBytes();
  const long allocated = long(FragmentingRun::kBlocks * FragmentingRun::kBlockSize);
  BackupManager manager(1, [&kept](const BackupRequest&) { return std::make_unique<Run>(&kept); });
  ASSERT_EQ(manager.AddBackup(BackupRequest{1, false}), KVN_OK);
  ASSERT_TRUE(
      kvn_test::waitFor([&] { return kept != nullptr && manager.activeCount() == 0; }, 30s));
  // With the manager still there: its end would cut the wait short.
  EXPECT_TRUE(residentGrowthFalls(before, allocated));
  std::free(kept);
}

TEST(BackupManagerMemory, FreedPagesGoBackWhenTheLastRunEnds) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators keep freed memory on purpose";
#endif
  expectOneRunGivesItsMemoryBack<FragmentingRun>();
}

// Frees its blocks only as its thread exits, after the run has ended, as
// per-thread state (a database connection, the TLS library's state) does.
class ThreadStateRun : public BackupRun {
 public:
  explicit ThreadStateRun(std::atomic<void*>* kept) : kept_(kept) {}
  std::uint32_t run() override {
    thread_local ThreadBlocks held;
    held.blocks.resize(FragmentingRun::kBlocks);
    for (void*& block : held.blocks) {
      block = std::malloc(FragmentingRun::kBlockSize);
      std::memset(block, 1, FragmentingRun::kBlockSize);
    }
    *kept_ = std::malloc(FragmentingRun::kBlockSize);  // above the rest
    return KVN_OK;
  }
  void requestStop(bool) override {}

 private:
  struct ThreadBlocks {
    ~ThreadBlocks() {
      for (void* block : blocks) std::free(block);
    }
    std::vector<void*> blocks;
  };
  std::atomic<void*>* kept_;
};

TEST(BackupManagerMemory, WhatRunThreadsFreeAsTheyExitGoesBackToo) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators keep freed memory on purpose";
#endif
  expectOneRunGivesItsMemoryBack<ThreadStateRun>();
}

// Runs side by side with others, and frees everything it allocated before
// it ends: the freed memory merges into the top of the heap its thread
// allocated from, which the allocator keeps below its trim threshold.
class HeapTopRun : public BackupRun {
 public:
  explicit HeapTopRun(std::latch* allAllocated) : allAllocated_(allAllocated) {}
  std::uint32_t run() override {
    std::vector<void*> blocks(kBlocks);
    for (void*& block : blocks) {
      block = std::malloc(FragmentingRun::kBlockSize);
      std::memset(block, 1, FragmentingRun::kBlockSize);
    }
    // All at once, so that the threads cannot take turns in one heap.
    allAllocated_->arrive_and_wait();
    for (auto block = blocks.rbegin(); block != blocks.rend(); ++block) std::free(*block);
    return KVN_OK;
  }
  void requestStop(bool) override {}

  static constexpr int kRuns = 4;
  static constexpr int kBlocks = FragmentingRun::kBlocks / kRuns;

 private:
  std::latch* allAllocated_;
};

TEST(BackupManagerMemory, TheHeapTopsOfParallelRunsGoBackToo) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' allocators keep freed memory on purpose";
#endif
  ASSERT_TRUE(allocatorSetUp);
  std::latch allAllocated(HeapTopRun::kRuns);
  const long before = residentBytes();
  const long allocated = long(FragmentingRun::kBlocks * FragmentingRun::kBlockSize);
  BackupManager manager(HeapTopRun::kRuns, [&allAllocated](const BackupRequest&) {
    return std::make_unique<HeapTopRun>(&allAllocated);
  });
  for (int job = 1; job <= HeapTopRun::kRuns; ++job) {
    ASSERT_EQ(manager.AddBackup(BackupRequest{job, false}), KVN_OK);
  }
  ASSERT_TRUE(kvn_test::waitFor([&] { return allAllocated.try_wait(); }, 30s));
  ASSERT_TRUE(kvn_test::waitFor([&] { return manager.activeCount() == 0; }, 30s));
  EXPECT_TRUE(residentGrowthFalls(before, allocated));
}

}  // namespace
