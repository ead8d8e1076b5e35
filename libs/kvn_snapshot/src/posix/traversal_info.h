// What the caller's thread and the reader thread of a volume traversal
// share. The published batch and the flags are guarded by mutex; the stats
// belong to the reader until it has ended.
#pragma once

#include <QString>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <vector>

#include "kvn_formats/volume_image/generic_bitmap.h"
#include "kvn_snapshot/volume_traversal.h"

namespace kvn_snapshot {

struct VolumeTraversalInfo {
  QString path;
  bool fullRead = false;
  BlockConsumer* consumer = nullptr;

  std::mutex mutex;
  std::condition_variable cond;
  // The published batch of blocks; prepared when the reader had time.
  std::vector<VolumeBlock> batch;
  bool batchPrepared = false;
  bool batchReady = false;
  // Set by the caller's side: the reader gives up at its next publication.
  bool stop = false;

  std::atomic<bool> done{false};
  bool result = false;
  std::exception_ptr error;
  TraversalStats stats;
};

// The reader thread's body: opens, reads and publishes, then sets done.
void readVolume(VolumeTraversalInfo& info);

}  // namespace kvn_snapshot
