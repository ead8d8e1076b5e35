#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "disk_images.h"
#include "kvn_formats/volume_image/block_digest.h"
#include "kvn_log/exception.h"
#include "kvn_snapshot/volume_traversal.h"
#include "log_capture.h"
#include "temp_dir.h"
#include "tool_runner.h"

namespace {

using kvn_formats::volume_image::GenericBitmap;
using kvn_snapshot::foreachBlockInVolume;
using kvn_snapshot::kVolumeBlockSize;
using kvn_snapshot::TraversalStats;

struct Block {
  std::uint64_t offset;
  std::uint64_t length;
  std::string data;
};

std::vector<Block> traverse(const std::string& path, bool useBitmap, TraversalStats* stats,
                            bool* ok = nullptr) {
  std::vector<Block> blocks;
  const bool result = foreachBlockInVolume(
      QString::fromStdString(path),
      [&](std::uint64_t offset, const std::uint8_t* data, std::uint64_t length,
          const GenericBitmap&) {
        blocks.push_back(
            {offset, length, std::string(reinterpret_cast<const char*>(data), length)});
      },
      useBitmap, stats);
  if (ok != nullptr) {
    *ok = result;
  } else {
    EXPECT_TRUE(result);
  }
  return blocks;
}

// A volume of zeros that takes no disk space: for the cases about who does
// what and when, where the bytes do not matter.
void makeSparseFile(const std::string& path, std::uint64_t bytes) {
  QFile file(QString::fromStdString(path));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  ASSERT_TRUE(file.resize(qint64(bytes)));
}

int openDescriptorsOn(const std::string& path) {
  int count = 0;
  for (const QFileInfo& fd : QDir("/proc/self/fd").entryInfoList(QDir::System | QDir::Files)) {
    if (fd.symLinkTarget() == QString::fromStdString(path)) ++count;
  }
  return count;
}

TEST(VolumeTraversal, FiveMiBVolumeGivesThreeBlocksTheLastOneShort) {
  kvn_test::TempDir dir;
  const std::string path = dir.file("plain.img");
  kvn_test::makePatternFile(path, 5 * 0x100000);
  const std::string content = kvn_test::readFile(path);
  TraversalStats stats;
  const auto blocks = traverse(path, true, &stats);  // no known file system: all used
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[0].offset, 0u);
  EXPECT_EQ(blocks[1].offset, kVolumeBlockSize);
  EXPECT_EQ(blocks[2].offset, 2 * kVolumeBlockSize);
  EXPECT_EQ(blocks[2].length, 0x100000u);
  EXPECT_EQ(blocks[0].data + blocks[1].data + blocks[2].data, content);
  EXPECT_EQ(stats.bytesRead, 5u * 0x100000);
  EXPECT_EQ(stats.blocksSkipped, 0u);
}

// Traversals hand their buffers on to the next one: each must see only its
// own volume's bytes, also when two run at once.
TEST(VolumeTraversal, TraversalsOneAfterAnotherOrAtOnceSeeOnlyTheirOwnVolume) {
  kvn_test::TempDir dir;
  const std::string first = dir.file("first.img");
  const std::string second = dir.file("second.img");
  // More blocks than two batches; the second volume is shorter, so that a
  // block left over from the first would show.
  kvn_test::makePatternFile(first, 40 * 0x100000 + 4096);
  {
    QFile file(QString::fromStdString(second));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QByteArray(36 * 0x100000 + 512, 'b'));
  }
  const auto joined = [](const std::vector<Block>& blocks) {
    std::string all;
    for (const Block& block : blocks) all += block.data;
    return all;
  };
  EXPECT_EQ(joined(traverse(first, false, nullptr)), kvn_test::readFile(first));
  EXPECT_EQ(joined(traverse(second, false, nullptr)), kvn_test::readFile(second));

  std::string fromThread;
  std::thread other([&] { fromThread = joined(traverse(second, false, nullptr)); });
  const std::string fromHere = joined(traverse(first, false, nullptr));
  other.join();
  EXPECT_EQ(fromHere, kvn_test::readFile(first));
  EXPECT_EQ(fromThread, kvn_test::readFile(second));
}

TEST(VolumeTraversal, VolumeEndingInsideAChunkGivesOnlyItsOwnBytes) {
  kvn_test::TempDir dir;
  const std::string path = dir.file("odd.img");
  const std::uint64_t size = 5 * 0x100000 + 1536;
  kvn_test::makePatternFile(path, size);
  TraversalStats stats;
  std::array<std::uint8_t, 16> digestOfLast{};
  ASSERT_TRUE(foreachBlockInVolume(
      QString::fromStdString(path),
      [&](std::uint64_t offset, const std::uint8_t* data, std::uint64_t length,
          const GenericBitmap& bitmap) {
        if (offset == 2 * kVolumeBlockSize) {
          EXPECT_EQ(length, 0x100000u + 1536);
          digestOfLast =
              kvn_formats::volume_image::describeBlock(data, length, offset, bitmap, 4096).digest;
        }
      },
      true, &stats));
  EXPECT_EQ(stats.bytesRead, size);
  // The digest of the last block is that of the bytes up to the end.
  const std::string tail = kvn_test::readFile(path).substr(2 * kVolumeBlockSize);
  const QByteArray md5 =
      QCryptographicHash::hash(QByteArray::fromStdString(tail), QCryptographicHash::Md5);
  EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(digestOfLast.data()), 16), md5);
}

TEST(VolumeTraversal, CallbackExceptionStopsTheReaderAndClosesTheVolume) {
  kvn_test::TempDir dir;
  const std::string path = dir.file("big.img");
  kvn_test::makePatternFile(path, 12 * 0x100000);
  int calls = 0;
  try {
    foreachBlockInVolume(
        QString::fromStdString(path),
        [&](std::uint64_t, const std::uint8_t*, std::uint64_t, const GenericBitmap&) {
          if (++calls == 2) throw KvnCommonException(KVN_HERE, KVN_E_STOPPED, "Stopped by user");
        },
        false);
    ADD_FAILURE() << "the exception was swallowed";
  } catch (const KvnCommonException& e) {
    EXPECT_EQ(e.code, KVN_E_STOPPED);
  }
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(openDescriptorsOn(path), 0);
}

// Records which thread prepared which batch and checks, at consume time,
// that the preparation in the block's buffer slot is the one of that block.
class RecordingConsumer : public kvn_snapshot::BlockConsumer {
 public:
  void prepare(std::span<const kvn_snapshot::VolumeBlock> batch) override {
    EXPECT_FALSE(batch.empty());
    EXPECT_LE(batch.size(), std::size_t(batch_));
    if (returned_) ++afterReturn_;
    {
      std::lock_guard lock(mutex_);
      ++preparations_[batch.front().offset];
    }
    std::this_thread::sleep_for(prepareDelay_);
    for (const auto& block : batch) {
      if (throwAt_ && block.offset == *throwAt_) {
        threwOnReader_ = std::this_thread::get_id() != caller_;
        throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "prepare failed");
      }
      slots_[block.buffer] = {block.offset, digest(block)};
    }
    if (std::this_thread::get_id() != caller_) {
      ++onReader_;
    } else {
      ++onCaller_;
    }
    if (returned_) ++afterReturn_;
  }
  // Once per block, on whichever thread read it, with the bytes that are
  // then consumed.
  void blockRead(const kvn_snapshot::VolumeBlock& block) override {
    if (readThrowAt_ && block.offset == *readThrowAt_) {
      throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "read hook failed");
    }
    const QByteArray bytes = digest(block);
    std::lock_guard lock(mutex_);
    EXPECT_TRUE(readDigests_.emplace(block.offset, bytes).second) << "twice: " << block.offset;
  }
  void consume(const kvn_snapshot::VolumeBlock& block) override {
    EXPECT_EQ(std::this_thread::get_id(), caller_);
    EXPECT_EQ(slots_[block.buffer].first, block.offset);
    EXPECT_EQ(slots_[block.buffer].second, digest(block)) << "at " << block.offset;
    {
      std::lock_guard lock(mutex_);
      EXPECT_EQ(readDigests_[block.offset], slots_[block.buffer].second) << "at " << block.offset;
    }
    offsets_.push_back(block.offset);
    if (consumeThrowAt_ && block.offset == *consumeThrowAt_) {
      throw KvnCommonException(KVN_HERE, KVN_E_STOPPED, "Stopped by user");
    }
    std::this_thread::sleep_for(consumeDelay_);
  }

  int batchSize() const override { return batch_; }
  void started() override {
    EXPECT_EQ(std::this_thread::get_id(), caller_);
    EXPECT_TRUE(offsets_.empty());
    ++startedCalls_;
    std::this_thread::sleep_for(startedDelay_);
    if (startedThrows_) throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "started failed");
  }

  int batch_ = kvn_snapshot::kTraversalBatch;
  int startedCalls_ = 0;
  bool startedThrows_ = false;
  std::chrono::milliseconds startedDelay_{0};
  std::optional<std::uint64_t> throwAt_;
  std::optional<std::uint64_t> consumeThrowAt_;
  std::optional<std::uint64_t> readThrowAt_;
  // By default a slow consumer: the reader has time to prepare batches.
  std::chrono::milliseconds consumeDelay_{10};
  std::chrono::milliseconds prepareDelay_{0};
  bool threwOnReader_ = false;
  std::vector<std::uint64_t> offsets_;
  std::atomic<int> onReader_ = 0;
  int onCaller_ = 0;
  // Set once the traversal has returned: no prepare() may run after that.
  std::atomic<bool> returned_ = false;
  std::atomic<int> afterReturn_ = 0;
  std::mutex mutex_;
  std::map<std::uint64_t, int> preparations_;  // by the batch's first offset
  std::map<std::uint64_t, QByteArray> readDigests_;

 private:
  static QByteArray digest(const kvn_snapshot::VolumeBlock& block) {
    return QCryptographicHash::hash(
        QByteArrayView(reinterpret_cast<const char*>(block.data), qsizetype(block.length)),
        QCryptographicHash::Md5);
  }

  const std::thread::id caller_ = std::this_thread::get_id();
  std::pair<std::uint64_t, QByteArray> slots_[kvn_snapshot::kTraversalBuffers];
};

TEST(VolumeTraversal, ReaderPreparesBatchesWhileTheConsumerIsBusyWithoutMixingBuffers) {
  kvn_test::TempDir dir;
  const std::string path = dir.file("pattern.img");
  // Two full batches and a short last one, the volume ending inside a block.
  const std::uint64_t blocks = 2 * kvn_snapshot::kTraversalBatch + 3;
  kvn_test::makePatternFile(path, (blocks - 1) * kVolumeBlockSize + 0x100000);
  RecordingConsumer consumer;
  ASSERT_TRUE(foreachBlockInVolume(QString::fromStdString(path), consumer, false));
  std::vector<std::uint64_t> expected;
  for (std::uint64_t i = 0; i < blocks; ++i) expected.push_back(i * kVolumeBlockSize);
  EXPECT_EQ(consumer.offsets_, expected);
  // Every batch but the first arrives while the one before is consumed.
  EXPECT_GE(consumer.onReader_, 1);
}

TEST(VolumeTraversal, PrepareExceptionComesOutAndClosesTheVolume) {
  kvn_test::TempDir dir;
  const std::string path = dir.file("pattern.img");
  kvn_test::makePatternFile(path, (2 * kvn_snapshot::kTraversalBatch + 2) * kVolumeBlockSize);
  RecordingConsumer consumer;
  // In the third and newest batch, which the reader prepares while the first
  // is consumed.
  consumer.throwAt_ = (2 * kvn_snapshot::kTraversalBatch + 1) * kVolumeBlockSize;
  try {
    foreachBlockInVolume(QString::fromStdString(path), consumer, false);
    ADD_FAILURE() << "the exception was swallowed";
  } catch (const KvnCommonException& e) {
    EXPECT_EQ(e.code, KVN_E_SERVER);
  }
  EXPECT_TRUE(consumer.threwOnReader_);
  // The caller takes no batch after the reader's failure.
  EXPECT_LE(consumer.offsets_.size(), std::size_t(2 * kvn_snapshot::kTraversalBatch));
  EXPECT_EQ(openDescriptorsOn(path), 0);
}

// The blocks of a batch are read on two threads; what the read hook throws
// on either comes out once, and the batch it was in is never consumed.
TEST(VolumeTraversal, AReadHookExceptionComesOutAndClosesTheVolume) {
  kvn_test::TempDir dir;
  const std::string path = dir.file("pattern.img");
  kvn_test::makePatternFile(path, (2 * kvn_snapshot::kTraversalBatch) * kVolumeBlockSize);
  for (const std::uint64_t block :
       {std::uint64_t(0), std::uint64_t(kvn_snapshot::kTraversalBatch + 5)}) {
    RecordingConsumer consumer;
    consumer.readThrowAt_ = block * kVolumeBlockSize;
    try {
      foreachBlockInVolume(QString::fromStdString(path), consumer, false);
      ADD_FAILURE() << "the exception was swallowed";
    } catch (const KvnCommonException& e) {
      EXPECT_EQ(e.code, KVN_E_SERVER);
    }
    EXPECT_LE(consumer.offsets_.size(),
              block / kvn_snapshot::kTraversalBatch * kvn_snapshot::kTraversalBatch);
    EXPECT_EQ(openDescriptorsOn(path), 0);
  }
}

// A light consume() and a heavy prepare(), as in a delta: both threads
// prepare batches, each exactly once, and every block still reaches the
// caller in order with its own preparation.
// With the largest batches a consumer may ask for, whose slots fill every
// buffer, and with batches of a size that does not divide them.
TEST(VolumeTraversal, BothThreadsPrepareWhenConsumingIsLight) {
  for (const int batch : {kvn_snapshot::kMaxTraversalBatch, 5}) {
    SCOPED_TRACE(batch);
    kvn_test::TempDir dir;
    const std::string path = dir.file("pattern.img");
    const int batches = kvn_snapshot::kTraversalSlots + 1;
    const std::uint64_t blocks = std::uint64_t(batches) * std::uint64_t(batch);
    makeSparseFile(path, blocks * kVolumeBlockSize);
    RecordingConsumer consumer;
    consumer.batch_ = batch;
    consumer.consumeDelay_ = std::chrono::milliseconds(0);
    consumer.prepareDelay_ = std::chrono::milliseconds(40);
    ASSERT_TRUE(foreachBlockInVolume(QString::fromStdString(path), consumer, false));
    ASSERT_EQ(consumer.offsets_.size(), blocks);
    for (std::uint64_t i = 0; i < blocks; ++i) {
      EXPECT_EQ(consumer.offsets_[i], i * kVolumeBlockSize);
    }
    ASSERT_EQ(consumer.preparations_.size(), std::size_t(batches));
    for (const auto& [offset, times] : consumer.preparations_) EXPECT_EQ(times, 1) << offset;
    EXPECT_GE(consumer.onReader_.load(), 1);
    EXPECT_GE(consumer.onCaller_, 1);
  }
}

// A stop in the middle of a volume, while the reader holds batches read
// ahead and prepares one of them: the stop comes out of the call, nothing
// runs on the consumer after it, and the volume is closed.
TEST(VolumeTraversal, StopMidVolumeWhileTheReaderWorksAhead) {
  kvn_test::TempDir dir;
  const std::string path = dir.file("pattern.img");
  makeSparseFile(path, std::uint64_t(kvn_snapshot::kTraversalSlots + 1) *
                           kvn_snapshot::kTraversalBatch * kVolumeBlockSize);
  RecordingConsumer consumer;
  consumer.consumeDelay_ = std::chrono::milliseconds(2);
  consumer.prepareDelay_ = std::chrono::milliseconds(60);
  const std::uint64_t stopAt = (kvn_snapshot::kTraversalBatch + 5) * kVolumeBlockSize;
  consumer.consumeThrowAt_ = stopAt;
  try {
    foreachBlockInVolume(QString::fromStdString(path), consumer, false);
    ADD_FAILURE() << "the stop was swallowed";
  } catch (const KvnCommonException& e) {
    EXPECT_EQ(e.code, KVN_E_STOPPED);
  }
  consumer.returned_ = true;
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  EXPECT_EQ(consumer.afterReturn_.load(), 0);
  ASSERT_FALSE(consumer.offsets_.empty());
  EXPECT_EQ(consumer.offsets_.back(), stopAt);
  EXPECT_EQ(consumer.offsets_.size(), std::size_t(kvn_snapshot::kTraversalBatch + 6));
  EXPECT_EQ(openDescriptorsOn(path), 0);
}

// started() runs once on the caller's thread while the reader starts, and
// before any block is consumed; when it throws, no block is, the exception
// comes out and the volume is closed.
TEST(VolumeTraversal, StartedRunsFirstAndItsThrowEndsTheTraversal) {
  kvn_test::TempDir dir;
  const std::string path = dir.file("pattern.img");
  makeSparseFile(path, std::uint64_t(kvn_snapshot::kTraversalSlots + 1) *
                           kvn_snapshot::kTraversalBatch * kVolumeBlockSize);
  for (const bool throws : {false, true}) {
    SCOPED_TRACE(throws);
    RecordingConsumer consumer;
    consumer.consumeDelay_ = std::chrono::milliseconds(0);
    // Long enough for the reader to fill its buffers meanwhile.
    consumer.startedDelay_ = std::chrono::milliseconds(50);
    consumer.startedThrows_ = throws;
    try {
      EXPECT_TRUE(foreachBlockInVolume(QString::fromStdString(path), consumer, false));
      EXPECT_FALSE(throws);
      EXPECT_EQ(consumer.offsets_.size(),
                std::size_t(kvn_snapshot::kTraversalSlots + 1) * kvn_snapshot::kTraversalBatch);
    } catch (const KvnCommonException& e) {
      EXPECT_TRUE(throws);
      EXPECT_EQ(e.code, KVN_E_SERVER);
      EXPECT_TRUE(consumer.offsets_.empty());
    }
    EXPECT_EQ(consumer.startedCalls_, 1);
    EXPECT_EQ(openDescriptorsOn(path), 0);
  }
}

TEST(VolumeTraversal, AVolumeThatShrinksOrIsMissingFailsWithTheReadErrorLines) {
  kvn_test::TempDir dir;
  const std::string path = dir.file("shrinking.img");
  // More batches than the reader can hold: it is still reading when the
  // first is consumed.
  makeSparseFile(
      path, (kvn_snapshot::kTraversalSlots + 1) * kvn_snapshot::kTraversalBatch * kVolumeBlockSize);
  bool ok = true;
  int calls = 0;
  std::string text;
  {
    // The capture takes standard output too: the checks come after it.
    kvn_test::LogCapture log;
    ok = foreachBlockInVolume(
        QString::fromStdString(path),
        [&](std::uint64_t, const std::uint8_t*, std::uint64_t, const GenericBitmap&) {
          if (++calls == 1) QFile::resize(QString::fromStdString(path), 0);
        },
        false);
    text = log.text();
  }
  // The reader may have filled all its buffers before the file went; those
  // batches are still consumed, their buffers valid while the reader fails.
  EXPECT_FALSE(ok);
  EXPECT_LE(calls, kvn_snapshot::kTraversalSlots * kvn_snapshot::kTraversalBatch);
  // A read under way when the file went may have got part of its block.
  EXPECT_NE(text.find("Chunk read incomplete ("), std::string::npos) << text;
  EXPECT_NE(text.find("/2097152)"), std::string::npos) << text;
  EXPECT_NE(text.find("block read failed from '" + path + "', offset "), std::string::npos);
  EXPECT_NE(text.find(" of size 2097152 (0)"), std::string::npos);
  EXPECT_EQ(openDescriptorsOn(path), 0);
}

// The blocks of a file of the image, as debugfs lists them.
std::set<std::uint64_t> fileBlocks(const std::string& image, const std::string& file) {
  const QString out = kvn_test::runTool("debugfs", {"-R", QString::fromStdString("blocks /" + file),
                                                    QString::fromStdString(image)})
                          .output;
  std::set<std::uint64_t> blocks;
  for (const QString& b : out.split(' ', Qt::SkipEmptyParts)) blocks.insert(b.toULongLong());
  return blocks;
}

// With 4 KiB blocks the file system's bitmap maps onto the volume's byte
// for byte; with 1 KiB blocks it starts at block 1 and is shifted in.
class Ext4Traversal : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    QDir().mkpath(QString::fromStdString(dir.file("tree")));
    kvn_test::makeTree(dir.file("tree"), 6, 300000, 7);
    image = dir.file("fs.img");
    ASSERT_TRUE(kvn_test::makeExt4(image, 96, dir.file("tree"), GetParam()));
  }
  kvn_test::TempDir dir;
  std::string image;
};

TEST_P(Ext4Traversal, UnusedBlocksAreNeverRead) {
  TraversalStats stats;
  const auto blocks = traverse(image, true, &stats);
  EXPECT_EQ(stats.volumeSize, 96u << 20);
  EXPECT_GT(stats.blocksSkipped, 0u);
  EXPECT_EQ(stats.bytesRead, stats.blocksRead * kVolumeBlockSize);
  EXPECT_LT(stats.bytesRead, stats.volumeSize / 2);
  EXPECT_EQ(stats.blocksRead, blocks.size());
  EXPECT_EQ(stats.blocksRead + stats.blocksSkipped, 48u);
  EXPECT_GT(stats.seeks, 0u);  // a read after a skipped block
  // Every block of every file lies in a block that was read.
  std::set<std::uint64_t> read;
  for (const Block& b : blocks) read.insert(b.offset / kVolumeBlockSize);
  for (int i = 0; i < 6; ++i) {
    const auto used = fileBlocks(image, "file" + std::to_string(i) + ".bin");
    ASSERT_FALSE(used.empty());
    for (std::uint64_t fsBlock : used)
      EXPECT_TRUE(read.count(fsBlock * GetParam() / kVolumeBlockSize)) << fsBlock;
  }
  // Without the bitmap every block is read.
  TraversalStats full;
  EXPECT_EQ(traverse(image, false, &full).size(), 48u);
  EXPECT_EQ(full.bytesRead, 96u << 20);
}

TEST_P(Ext4Traversal, AFileSystemAwaitingJournalRecoveryIsReadWhole) {
  ASSERT_TRUE(kvn_test::runTool(
                  "debugfs", {"-w", "-R", "feature needs_recovery", QString::fromStdString(image)})
                  .ok());
  kvn_test::LogCapture log;
  TraversalStats stats;
  traverse(image, true, &stats);
  EXPECT_EQ(stats.bytesRead, 96u << 20);
  EXPECT_NE(log.text().find("performing full backup"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(BlockSizes, Ext4Traversal, ::testing::Values(4096, 1024));

TEST(VolumeTraversal, MissingVolumeFails) {
  kvn_test::TempDir dir;
  kvn_test::LogCapture log;
  bool ok = true;
  EXPECT_TRUE(traverse(dir.file("none"), true, nullptr, &ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_NE(log.text().find("Failed to open volume as a file"), std::string::npos);
}

}  // namespace
