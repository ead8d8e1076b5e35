#include "block_buffers.h"

#include <sys/mman.h>

#include <mutex>
#include <new>

#include "kvn_snapshot/volume_traversal.h"

namespace kvn_snapshot {

class BufferMapping {
 public:
  BufferMapping() {
    void* start =
        ::mmap(nullptr, kMappedBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (start == MAP_FAILED) throw std::bad_alloc();
    start_ = static_cast<std::uint8_t*>(start);
    const auto address = reinterpret_cast<std::uintptr_t>(start);
    base_ = start_ + (kVolumeBlockSize - address % kVolumeBlockSize) % kVolumeBlockSize;
    // Only advice: without huge pages the buffers work the same.
    ::madvise(base_, kBufferBytes, MADV_HUGEPAGE);
  }
  ~BufferMapping() { ::munmap(start_, kMappedBytes); }
  BufferMapping(const BufferMapping&) = delete;
  BufferMapping& operator=(const BufferMapping&) = delete;

  std::uint8_t* base() const { return base_; }
  // Keeps the pages until the kernel wants them back.
  void release() const { ::madvise(base_, kBufferBytes, MADV_FREE); }

 private:
  static constexpr std::size_t kBufferBytes = kTraversalBuffers * kVolumeBlockSize;
  // With room to align the start to a huge page.
  static constexpr std::size_t kMappedBytes = kBufferBytes + kVolumeBlockSize;

  std::uint8_t* start_ = nullptr;
  std::uint8_t* base_ = nullptr;
};

namespace {

// At most one mapping waits for the next traversal.
std::mutex keptMutex;
std::unique_ptr<BufferMapping> kept;

}  // namespace

BlockBuffers::BlockBuffers() {
  {
    std::lock_guard lock(keptMutex);
    mapping_ = std::move(kept);
  }
  if (!mapping_) mapping_ = std::make_unique<BufferMapping>();
}

BlockBuffers::~BlockBuffers() {
  mapping_->release();
  std::lock_guard lock(keptMutex);
  if (!kept) kept = std::move(mapping_);
}

std::uint8_t* BlockBuffers::operator[](int index) const {
  return mapping_->base() + static_cast<std::size_t>(index) * kVolumeBlockSize;
}

}  // namespace kvn_snapshot
