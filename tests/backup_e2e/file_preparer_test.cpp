// Payloads prepared ahead on the preparer's thread: they must be what the
// ordinary chain sends, and every way a prepared file can go stale (a stop,
// a change, a deletion, a run that ends without it) must leave nothing on
// disk and fall back to reading the file again.
#include <sys/stat.h>
#include <utime.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <atomic>
#include <chrono>
#include <initializer_list>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "backup/file/filepreparer.h"
#include "backup/file/newsignature.h"
#include "backup/file/payloadcodecs.h"
#include "database/signaturefile.h"
#include "kvn_common/file_source.h"
#include "kvn_common/pipes.h"
#include "kvn_compression/deflate_stream.h"
#include "kvn_crypto/aes_context.h"
#include "kvn_crypto/aes_stream.h"
#include "kvn_rsync/block_length.h"
#include "kvn_rsync/signature_engine.h"

namespace {

using namespace std::chrono_literals;

constexpr std::int64_t kJob = 7;
constexpr std::int32_t kLastWrite = 1720000000;

// Keeps what reaches it and the size of each piece.
struct Collector : kvn_common::StreamSink {
  std::vector<char> bytes;
  std::vector<std::uint32_t> pieces;
  bool ended = false;
  void write(const char* data, std::uint32_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    pieces.push_back(size);
  }
  void end() override { ended = true; }
};

QByteArray content(int size, int seed) {
  QByteArray bytes(size, '\0');
  std::uint32_t x = 2463534242u + std::uint32_t(seed);
  for (int i = 0; i < size; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    // Half text-like, half noise, so that deflate has work of both kinds.
    bytes[i] = (i / 4096) % 2 ? char(x) : char('a' + x % 8);
  }
  return bytes;
}

class FilePreparerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    cipher_.init(kvn_crypto::Bytes(32, 0x42), kvn_crypto::Bytes(8, 0x17), 256,
                 kvn_crypto::AesContext::Cbc);
  }

  QString write(const QString& name, const QByteArray& bytes, std::int32_t lastWrite = kLastWrite) {
    const QString path = dir_.filePath("data/" + name);
    QDir().mkpath(dir_.filePath("data"));
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
    file.close();
    const utimbuf times{lastWrite, lastWrite};
    ::utime(QFile::encodeName(path).constData(), &times);
    return path;
  }

  FilePreparer::Settings settings(bool encrypt) {
    FilePreparer::Settings s;
    s.compress = true;
    s.cipher = encrypt ? &cipher_ : nullptr;
    s.signaturesDir = QDir(dir_.filePath("Signatures"));
    s.folders = &folders_;
    s.jobId = kJob;
    s.stopFlag = &stop_;
    return s;
  }

  QString signatureOf(const QString& path, std::int32_t lastWrite = kLastWrite) const {
    return kvn_agent_database::signatureFilePath(QDir(dir_.filePath("Signatures")), path, lastWrite,
                                                 kJob);
  }
  static bool exists(const QString& path) { return QFile::exists(path); }
  static QString part(const QString& path) { return path + ".part"; }

  // Waits until the thread has written the file's signature part.
  bool waitForPart(const QString& path) const {
    for (int i = 0; i < 500; ++i) {
      if (exists(part(signatureOf(path)))) return true;
      std::this_thread::sleep_for(10ms);
    }
    return false;
  }

  // Requests the files in this order and waits until the thread has
  // written each one's signature part (an idle thread starts once
  // FilePreparer::kWakeAt files wait).
  void prepareAll(FilePreparer& preparer, std::initializer_list<QString> paths) const {
    for (const QString& path : paths) ASSERT_TRUE(preparer.request(path, path));
    for (const QString& path : paths) ASSERT_TRUE(waitForPart(path)) << path.toStdString();
  }

  // The ordinary way: FileSource, the signature beside it, deflate.
  static void ordinaryChain(const QString& path, Collector& payload, Collector& signature) {
    const std::int64_t size = QFileInfo(path).size();
    kvn_rsync::SignatureEngine engine(kvn_rsync::blockLength(std::uint64_t(size)));
    engine.setNext(&signature);
    kvn_common::TeePipe tee(engine);
    kvn_common::FileSource source(nullptr);
    kvn_compression::DeflateStream deflate(kDataCompressionBuffer);
    kvn_common::StreamChain chain;
    chain.append(source).append(tee).append(deflate).append(payload);
    source.read(QFile::encodeName(path).toStdString());
  }

  QTemporaryDir dir_;
  SignatureFolders folders_;
  kvn_crypto::AesContext cipher_;
  std::atomic<bool> stop_{false};
};

TEST_F(FilePreparerTest, APreparedFileIsWhatTheOrdinaryChainSends) {
  const QString small = write("small.txt", content(200, 1));
  const QString larger = write("larger.bin", content(300000, 2));
  Collector expectedPayload, expectedSignature;
  ordinaryChain(larger, expectedPayload, expectedSignature);

  for (const bool encrypt : {false, true}) {
    SCOPED_TRACE(encrypt ? "encrypted" : "compressed only");
    QFile::remove(signatureOf(small));
    QFile::remove(signatureOf(larger));
    FilePreparer preparer(settings(encrypt));
    ASSERT_TRUE(preparer.request(small, small));
    ASSERT_TRUE(preparer.request(larger, larger));
    for (std::size_t i = 2; i < FilePreparer::kMaxAhead; ++i) {
      const QString filler = write(QString("filler%1.txt").arg(i), content(100, int(i)));
      ASSERT_TRUE(preparer.request(filler, filler));
    }
    // Bounded: one more waits until one is taken.
    EXPECT_FALSE(preparer.request(larger, larger));
    EXPECT_FALSE(preparer.take(larger, 300000, kLastWrite)) << "not the oldest";
    ASSERT_TRUE(preparer.take(small, 200, kLastWrite));
    std::optional<PreparedFile> prepared = preparer.take(larger, 300000, kLastWrite);
    ASSERT_TRUE(prepared);
    EXPECT_EQ(prepared->signaturePath(), signatureOf(larger));
    EXPECT_EQ(prepared->signature(), expectedSignature.bytes);
    EXPECT_TRUE(exists(part(signatureOf(larger))));
    EXPECT_FALSE(exists(part(signatureOf(small)))) << "the taken file dropped its part";

    Collector sent;
    prepared->sendTo(sent);
    EXPECT_TRUE(sent.ended);
    if (!encrypt) {
      EXPECT_EQ(sent.pieces, expectedPayload.pieces);
      EXPECT_EQ(sent.bytes, expectedPayload.bytes);
    } else {
      Collector plain;
      kvn_crypto::DecryptStream decrypt(cipher_);
      decrypt.setNext(&plain);
      decrypt.write(sent.bytes.data(), std::uint32_t(sent.bytes.size()));
      decrypt.end();
      EXPECT_EQ(plain.bytes, expectedPayload.bytes);
    }
    ASSERT_TRUE(prepared->commitSignature());
    EXPECT_FALSE(exists(part(signatureOf(larger))));
    QFile kept(signatureOf(larger));
    ASSERT_TRUE(kept.open(QIODevice::ReadOnly));
    const QByteArray onDisk = kept.readAll();
    EXPECT_EQ(std::vector<char>(onDisk.begin(), onDisk.end()), expectedSignature.bytes);
  }
}

TEST_F(FilePreparerTest, FilesThatCannotBeHeldAreLeftToTheOrdinaryWay) {
  const QString big = write("big.bin", content(int(FilePreparer::kMaxFileSize) + 1, 3));
  QDir().mkpath(dir_.filePath("data/folder"));
  const QString folder = dir_.filePath("data/folder");
  FilePreparer preparer(settings(true));
  ASSERT_TRUE(preparer.request(big, big));
  ASSERT_TRUE(preparer.request(folder, folder));
  EXPECT_FALSE(preparer.take(big, FilePreparer::kMaxFileSize + 1, kLastWrite));
  EXPECT_FALSE(preparer.take(folder, 0, kLastWrite));
  // Asked again after it was taken: nothing left to give.
  EXPECT_FALSE(preparer.take(big, FilePreparer::kMaxFileSize + 1, kLastWrite));
}

TEST_F(FilePreparerTest, AStaleFileIsDroppedWithItsSignature) {
  const QString changed = write("changed.txt", content(5000, 4));
  const QString gone = write("gone.txt", content(6000, 5));
  const QString other = write("other.txt", content(700, 6));
  FilePreparer preparer(settings(true));
  static_assert(FilePreparer::kWakeAt <= 3, "three requests start the thread");
  ASSERT_NO_FATAL_FAILURE(prepareAll(preparer, {changed, gone, other}));

  // Changed after it was read: same last write, one byte longer.
  write("changed.txt", content(5001, 4));
  EXPECT_FALSE(preparer.take(changed, 5001, kLastWrite));
  EXPECT_FALSE(exists(part(signatureOf(changed))));

  // Gone after it was read: the ordinary way reports it.
  ASSERT_TRUE(QFile::remove(gone));
  EXPECT_FALSE(preparer.take(gone, 6000, kLastWrite));
  EXPECT_FALSE(exists(part(signatureOf(gone))));

  // The backup recorded other values than were read.
  EXPECT_FALSE(preparer.take(other, 700, kLastWrite + 1));
  EXPECT_FALSE(exists(part(signatureOf(other))));
}

TEST_F(FilePreparerTest, AStatusReadAfterThePreparationIsTrustedOneReadBeforeIsNot) {
  const QString early = write("early.txt", content(3000, 9));
  const QString late = write("late.txt", content(4000, 10));
  const QString third = write("third.txt", content(5000, 11));
  FilePreparer preparer(settings(true));
  // Asked for before anything was prepared: the status the backup reads
  // next may be older than the read, so take looks again.
  preparer.beforeStatusRead(early);
  ASSERT_NO_FATAL_FAILURE(prepareAll(preparer, {early, late, third}));
  kvn_platform::FileStatus status;
  status.kind = kvn_platform::FileKind::Regular;
  status.size = 3000;
  status.hasLastWrite = true;
  status.lastWrite = kLastWrite;
  ASSERT_TRUE(QFile::remove(early));
  EXPECT_FALSE(preparer.take(early, 3000, kLastWrite, status)) << "gone since: read again";

  // Prepared before the status was read: that status covers the payload.
  preparer.beforeStatusRead(late);
  status.size = 4000;
  EXPECT_TRUE(preparer.take(late, 4000, kLastWrite, status));
  // A status read after the preparation that shows a change drops it.
  preparer.beforeStatusRead(third);
  status.lastWrite = kLastWrite + 2;
  EXPECT_FALSE(preparer.take(third, 5000, kLastWrite, status));
  EXPECT_FALSE(exists(part(signatureOf(third))));
}

// Paused, the thread starts nothing while the backup talks to the box; it
// works once the backup waits for the box, one file at a time, and never
// leaves the backup waiting for a payload it has not started.
TEST_F(FilePreparerTest, APausedThreadWorksOnlyWhileTheBackupWaits) {
  const QString first = write("first.txt", content(3000, 21));
  const QString second = write("second.txt", content(4000, 22));
  const QString third = write("third.txt", content(5000, 23));
  FilePreparer preparer(settings(true));
  preparer.pause();
  for (const QString& path : {first, second, third}) ASSERT_TRUE(preparer.request(path, path));
  std::this_thread::sleep_for(100ms);
  EXPECT_FALSE(exists(part(signatureOf(first)))) << "started while paused";

  // Waiting for a payload wakes the thread however paused it is.
  ASSERT_TRUE(preparer.take(first, 3000, kLastWrite));
  preparer.forget(first);

  // A window on the box: fewer files than wake an idle thread otherwise.
  preparer.resume();
  ASSERT_TRUE(waitForPart(second));
  ASSERT_TRUE(waitForPart(third));
  preparer.pause();
  EXPECT_TRUE(preparer.take(second, 4000, kLastWrite));
}

TEST_F(FilePreparerTest, StopsAndEndsLeaveNothingBehind) {
  const QString first = write("first.txt", content(40000, 7));
  const QString second = write("second.txt", content(50000, 8));
  const QString third = write("third.txt", content(2000, 12));
  {
    // A stop request ends the preparation under way.
    stop_ = true;
    FilePreparer preparer(settings(true));
    ASSERT_TRUE(preparer.request(first, first));
    EXPECT_FALSE(preparer.take(first, 40000, kLastWrite));
    EXPECT_FALSE(exists(part(signatureOf(first))));
    stop_ = false;
  }
  {
    // The run ends (a dropped connection) with files prepared and one
    // forgotten: the thread is joined and no part is left.
    FilePreparer preparer(settings(true));
    ASSERT_NO_FATAL_FAILURE(prepareAll(preparer, {first, second, third}));
    preparer.forget(first);
    EXPECT_FALSE(exists(part(signatureOf(first))));
    EXPECT_TRUE(exists(part(signatureOf(second))));
  }
  EXPECT_FALSE(exists(part(signatureOf(second))));
  EXPECT_FALSE(exists(part(signatureOf(third))));
  {
    // Ended while files wait and one is under way.
    FilePreparer preparer(settings(true));
    preparer.request(first, first);
    preparer.request(second, second);
  }
  EXPECT_FALSE(exists(part(signatureOf(first))));
  EXPECT_FALSE(exists(part(signatureOf(second))));
  EXPECT_FALSE(exists(signatureOf(first)));
  EXPECT_FALSE(exists(signatureOf(second)));
}

}  // namespace
