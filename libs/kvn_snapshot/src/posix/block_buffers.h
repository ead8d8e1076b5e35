// The block buffers of a volume traversal, in one mapping aligned to 2 MiB
// and marked for huge pages: a buffer is then a single page, faulted in once
// rather than 512 times, and the reads that fill it and the digest lanes
// that walk it need one TLB entry per buffer.
//
// A traversal hands its mapping back when it ends and the next one takes it
// over with its pages in place (new pages cost a fault and clearing each).
// The kept pages are given up lazily (MADV_FREE): the kernel takes them back
// when it needs memory, and the next traversal then gets fresh ones.
#pragma once

#include <cstdint>
#include <memory>

namespace kvn_snapshot {

class BufferMapping;

class BlockBuffers {
 public:
  // Throws std::bad_alloc when no mapping can be made.
  BlockBuffers();
  ~BlockBuffers();
  BlockBuffers(const BlockBuffers&) = delete;
  BlockBuffers& operator=(const BlockBuffers&) = delete;

  // Buffer index (0 to kTraversalBuffers - 1) of kVolumeBlockSize bytes.
  std::uint8_t* operator[](int index) const;

 private:
  std::unique_ptr<BufferMapping> mapping_;
};

}  // namespace kvn_snapshot
