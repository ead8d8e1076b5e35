// What the caller's thread and the reader thread of a volume traversal
// share. The batches and the flags are guarded by mutex; the stats belong
// to the reader until it has ended.
#pragma once

#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <mutex>
#include <vector>

#include "kvn_formats/volume_image/generic_bitmap.h"
#include "kvn_snapshot/volume_traversal.h"

namespace kvn_snapshot {

// A batch that has been read and not yet consumed, in one slot of
// the consumer's batchSize() buffers.
struct TraversalBatch {
  enum State {
    kRead,       // waiting for prepare()
    kPreparing,  // the reader runs prepare()
    kPrepared,   // waiting for consume()
    kConsuming,  // the caller's thread has it (and prepares it first if need be)
  };
  std::vector<VolumeBlock> blocks;
  int slot = 0;
  State state = kRead;
};

struct VolumeTraversalInfo {
  QString path;
  bool fullRead = false;
  BlockConsumer* consumer = nullptr;

  std::mutex mutex;
  std::condition_variable cond;
  // Oldest first; at most kTraversalSlots. The caller's thread takes the
  // oldest and removes it when consumed. References stay valid while other
  // batches come and go.
  std::deque<TraversalBatch> batches;
  // Set by the caller's side: the reader gives up at its next wait.
  bool stop = false;

  std::atomic<bool> done{false};
  bool result = false;
  std::exception_ptr error;
  TraversalStats stats;
};

// The reader thread's body: opens, reads and publishes, then sets done.
void readVolume(VolumeTraversalInfo& info);

}  // namespace kvn_snapshot
