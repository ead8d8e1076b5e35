// System image runs of the agent against the simulated box: an ext4 image
// file stands for the volume, the test snapshot library freezes a copy of
// it, and the box's rebuilt versions must be clean file systems that hold
// the same files, read only where the file system uses space.
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include "backup/backup.h"
#include "backup_e2e_fixture.h"
#include "boxsim/backup_store.h"
#include "boxsim/image_store.h"
#include "ext_image.h"
#include "kvn_formats/volume_image/block_digest.h"
#include "kvn_formats/volume_image/hashmap_reader.h"
#include "kvn_formats/volume_image/hashmap_writer.h"
#include "kvn_snapshot/volume_bitmap.h"
#include "process_runner.h"

namespace kvn_e2e {
namespace {

using namespace kvn_sysimg_test;

constexpr std::int64_t kJob = 31;
const QString kVolume = "vol-1";
constexpr int kImageMiB = 48;

class SysImgE2E : public BackupE2E {
 protected:
  void SetUp() override {
    BackupE2E::SetUp();
    ASSERT_TRUE(useSnapshotLibrary(KVN_VSS_TEST_LIBRARY));
    source_ = scratch("src");
    image_ = scratch("volume.img");
    ASSERT_TRUE(QDir().mkpath(source_ + "/dir"));
    writeSource("big.bin", noise(6 << 20, 11));
    writeSource("dir/small.bin", noise(100000, 12));
    writeSource("text.txt", QByteArray("some text\n").repeated(5000));
    const QString made = makeExt4(image_, kImageMiB, source_);
    ASSERT_TRUE(made.isEmpty()) << made.toStdString();
    setVolumeLister([this] {
      kvn_snapshot::VolumeRecord v;
      v.volumeGuid = kVolume;
      v.diskSerial = "disk-1";
      v.mountName = "/data";
      v.label = "test";
      v.fsName = "ext4";
      v.totalSize = std::uint64_t(kImageMiB) << 20;
      v.freeSize = v.totalSize / 2;
      v.devicePath = image_;
      return std::vector<kvn_snapshot::VolumeRecord>{v};
    });
  }

  void writeSource(const QString& name, const QByteArray& bytes) {
    QFile file(source_ + "/" + name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(bytes), bytes.size());
  }
  QByteArray sourceFile(const QString& name) const {
    QFile file(source_ + "/" + name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
  }

  QStringList partHashmaps() const {
    QStringList found;
    QDirIterator it(signaturesDir(), {"*.part"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) found << it.next();
    return found;
  }

  // Rebuilds a version and checks it against the reference: clean, and
  // every used block equal.
  void expectRebuilt(int version, const QString& reference, const QString& output) {
    QString reason;
    const auto rebuilt =
        boxsim::rebuildImage(box().store(), kJob, kVolume, version, output, boxDataKey(), reason);
    ASSERT_TRUE(rebuilt) << reason.toStdString();
    const QString problems = fsckProblems(output);
    EXPECT_TRUE(problems.isEmpty()) << problems.toStdString();
    const auto verified = boxsim::verifyImage(*rebuilt, output, reference);
    EXPECT_GT(verified.passed, 0);
    EXPECT_EQ(verified.failed, 0) << verified.mismatches.join('\n').toStdString();
  }

  RunOutcome imageRun() { return runBackup(kJob); }

  // Overwrites the first 4 KiB of the file's data inside the image: its
  // blocks and the file system's bitmaps stay as they are.
  void rewriteInPlace(const QString& file, int seed) {
    bool ok = false;
    const QString blocks = runTool("debugfs", {"-R", "blocks " + file, image_}, &ok);
    ASSERT_TRUE(ok) << blocks.toStdString();
    // The list is the last line; debugfs puts its banner first.
    const QString list = blocks.trimmed().split('\n').constLast();
    const qint64 first = list.split(' ', Qt::SkipEmptyParts).value(0).toLongLong();
    ASSERT_GT(first, 0) << blocks.toStdString();
    QFile volume(image_);
    ASSERT_TRUE(volume.open(QIODevice::ReadWrite));
    ASSERT_TRUE(volume.seek(first * 4096));
    ASSERT_EQ(volume.write(noise(4096, seed)), 4096);
  }

  // The hashmap the agent keeps for the last image must hold, for every
  // block, what digesting the volume from scratch gives: whether a digest
  // was computed or taken over from the parent.
  void expectHashmapOfTheVolume() {
    const QVariant version = recordedLastWrite(kJob, kVolume);
    ASSERT_TRUE(version.isValid());
    namespace vi = kvn_formats::volume_image;
    vi::HashmapReader hashmap(signaturePath(kJob, kVolume, version.toLongLong()));
    const std::uint64_t size = std::uint64_t(kImageMiB) << 20;
    const kvn_snapshot::VolumeBitmap bitmap = kvn_snapshot::readVolumeBitmap(image_, size, true);
    QFile volume(image_);
    ASSERT_TRUE(volume.open(QIODevice::ReadOnly));
    for (std::uint64_t index = 0; index < hashmap.blockCount(); ++index) {
      const QByteArray bytes = volume.read(0x200000);
      vi::HashmapBlockDesc stored;
      if (!hashmap.readBlock(index, &stored)) {
        EXPECT_FALSE(bitmap.bitmap.anySet(index * 0x200000, std::uint64_t(bytes.size())));
        continue;
      }
      const vi::HashmapBlockDesc fresh =
          vi::describeBlock(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                            std::uint64_t(bytes.size()), index * 0x200000, bitmap.bitmap, 4096);
      EXPECT_TRUE(stored.sameContentAs(fresh)) << "block " << index;
    }
  }

  QString source_;
  QString image_;
};

TEST_F(SysImgE2E, FullImageThenDeltaRebuildToCleanFileSystemsWithTheSameFiles) {
  startBoxAt("127.0.7.11");
  addJob(kJob, {kVolume}, {true, true, "sysimg", {}, {}});

  RunOutcome run = imageRun();
  ASSERT_EQ(run.result, 0u);
  EXPECT_EQ(run.row.errors, 0);
  auto versions = box().store().versions(kJob, kVolume);
  ASSERT_EQ(versions.size(), 1u);
  EXPECT_FALSE(versions[0].delta);
  const ImageFigures full = lastImageFigures(kVolume);
  EXPECT_EQ(full.volumeSize, std::uint64_t(kImageMiB) << 20);
  // Only blocks with used clusters are read.
  EXPECT_GT(full.bytesRead, 0u);
  EXPECT_LT(full.bytesRead, full.volumeSize);
  EXPECT_TRUE(partHashmaps().isEmpty());

  const QString v1 = scratch("v1.img");
  expectRebuilt(1, image_, v1);
  EXPECT_EQ(dumpFile(v1, "/big.bin", scratch("dump")), sourceFile("big.bin"));
  EXPECT_EQ(dumpFile(v1, "/dir/small.bin", scratch("dump")), sourceFile("dir/small.bin"));
  EXPECT_EQ(dumpFile(v1, "/text.txt", scratch("dump")), sourceFile("text.txt"));

  // One new file in the volume: the delta sends only what changed.
  const QString added = scratch("added.bin");
  {
    QFile file(added);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(noise(300000, 13));
  }
  const QString written = writeIntoImage(image_, added, "added.bin");
  ASSERT_TRUE(written.isEmpty()) << written.toStdString();
  QThread::sleep(1);  // a new backup time, so a new hashmap name

  run = imageRun();
  ASSERT_EQ(run.result, 0u);
  EXPECT_EQ(run.row.errors, 0);
  versions = box().store().versions(kJob, kVolume);
  ASSERT_EQ(versions.size(), 2u);
  EXPECT_TRUE(versions[1].delta);
  const ImageFigures delta = lastImageFigures(kVolume);
  EXPECT_GT(delta.blocksSent, 0u);
  EXPECT_LT(delta.blocksSent, full.blocksSent);
  EXPECT_TRUE(partHashmaps().isEmpty());

  const QString v2 = scratch("v2.img");
  expectRebuilt(2, image_, v2);
  QFile addedFile(added);
  ASSERT_TRUE(addedFile.open(QIODevice::ReadOnly));
  EXPECT_EQ(dumpFile(v2, "/added.bin", scratch("dump")), addedFile.readAll());
  EXPECT_EQ(dumpFile(v2, "/big.bin", scratch("dump")), sourceFile("big.bin"));
  // The first version still rebuilds as it was, without the new file.
  const QString again = scratch("v1-again.img");
  QString reason;
  ASSERT_TRUE(boxsim::rebuildImage(box().store(), kJob, kVolume, 1, again, boxDataKey(), reason));
  EXPECT_TRUE(fsckProblems(again).isEmpty());
  EXPECT_EQ(dumpFile(again, "/added.bin", scratch("dump")), "<no dump>");
}

// A delta takes the digest of a block whose bytes did not change from the
// parent's hashmap: a rewrite that leaves the file system's bitmaps alone
// must still be found, and damaged fingerprints only cost the time.
TEST_F(SysImgE2E, ABlockRewrittenInPlaceIsSentAndEveryDigestIsThatOfTheVolume) {
  startBoxAt("127.0.7.16");
  addJob(kJob, {kVolume}, {true, true, "sysimg", {}, {}});
  ASSERT_EQ(imageRun().result, 0u);
  const QVariant first = recordedLastWrite(kJob, kVolume);
  ASSERT_TRUE(QFile::exists(signaturePath(kJob, kVolume, first.toLongLong()) + ".fp"));

  rewriteInPlace("/big.bin", 21);
  QThread::sleep(1);
  ASSERT_EQ(imageRun().result, 0u);
  EXPECT_EQ(lastImageFigures(kVolume).blocksSent, 1u);
  expectRebuilt(2, image_, scratch("v2.img"));
  expectHashmapOfTheVolume();
  // The parent's fingerprints went with its hashmap.
  EXPECT_FALSE(QFile::exists(signaturePath(kJob, kVolume, first.toLongLong()) + ".fp"));

  const QString prints =
      signaturePath(kJob, kVolume, recordedLastWrite(kJob, kVolume).toLongLong()) + ".fp";
  {
    QFile file(prints);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    ASSERT_TRUE(file.seek(300));
    const char flipped = char(file.read(1).at(0) ^ 0x5A);
    ASSERT_TRUE(file.seek(300));
    ASSERT_EQ(file.write(&flipped, 1), 1);
  }
  rewriteInPlace("/dir/small.bin", 22);
  QThread::sleep(1);
  ASSERT_EQ(imageRun().result, 0u);
  EXPECT_NE(log().find("not used (checksum mismatch): every block is digested"), std::string::npos);
  EXPECT_EQ(lastImageFigures(kVolume).blocksSent, 1u);
  expectRebuilt(3, image_, scratch("v3.img"));
  expectHashmapOfTheVolume();
}

// The box keeps the stream as it came and decodes it only to rebuild: the
// rebuild, not the store, is where a wrong key or lost bytes show.
TEST_F(SysImgE2E, AStoredImageRebuildsOnlyWithTheBoxKeyAndAllItsBytes) {
  startBoxAt("127.0.32.16");
  addJob(kJob, {kVolume}, {true, true, "sysimg", {}, {}});
  ASSERT_EQ(imageRun().result, 0u);
  const auto versions = box().store().versions(kJob, kVolume);
  ASSERT_EQ(versions.size(), 1u);
  const boxsim::StoredVersion& stored = versions[0];
  QString reason;
  EXPECT_TRUE(boxsim::checkImage(stored.contentPath, stored.signaturePath, reason))
      << reason.toStdString();

  const QString output = scratch("rebuilt.img");
  EXPECT_FALSE(boxsim::rebuildImage(box().store(), kJob, kVolume, 1, output, {}, reason));
  EXPECT_TRUE(reason.contains("data key")) << reason.toStdString();
  kvn_crypto::Bytes otherKey = boxDataKey();
  otherKey[0] ^= 0x5A;
  EXPECT_FALSE(boxsim::rebuildImage(box().store(), kJob, kVolume, 1, output, otherKey, reason));

  // The last sent block loses its tail.
  ASSERT_TRUE(QFile::resize(stored.contentPath, QFileInfo(stored.contentPath).size() - 100));
  EXPECT_FALSE(boxsim::checkImage(stored.contentPath, stored.signaturePath, reason));
  EXPECT_TRUE(reason.contains("beyond the data")) << reason.toStdString();
  EXPECT_FALSE(boxsim::rebuildImage(box().store(), kJob, kVolume, 1, output, boxDataKey(), reason));
  EXPECT_TRUE(reason.contains("cut short")) << reason.toStdString();
}

TEST_F(SysImgE2E, APreviousHashmapWithOtherBlocksIsNoParent) {
  startBoxAt("127.0.7.12");
  addJob(kJob, {kVolume}, {false, true, "sysimg", {}, {}});
  ASSERT_EQ(imageRun().result, 0u);
  const QVariant version = recordedLastWrite(kJob, kVolume);
  ASSERT_TRUE(version.isValid());
  const QString previous = signaturePath(kJob, kVolume, version.toLongLong());
  ASSERT_TRUE(QFile::exists(previous));
  const qint64 size = QFileInfo(previous).size();
  {
    kvn_formats::volume_image::HashmapWriter other(previous, 0, std::uint64_t(kImageMiB) << 20,
                                                   0x400000, 8192, 0, 0, "ext4");
  }
  // The size the box knows, so that the agent does not fetch the box's copy.
  ASSERT_TRUE(QFile::resize(previous, size));
  QThread::sleep(1);
  const RunOutcome run = imageRun();
  ASSERT_EQ(run.result, 0u);
  EXPECT_NE(log().find("incompatible hashmap"), std::string::npos);
  const auto versions = box().store().versions(kJob, kVolume);
  ASSERT_EQ(versions.size(), 2u);
  EXPECT_FALSE(versions[1].delta);
  expectRebuilt(2, image_, scratch("v2.img"));
}

TEST_F(SysImgE2E, AFailedImageLeavesNoHashmapAndTheNextRunIsADeltaOfTheLastGoodOne) {
  startBoxAt("127.0.7.13");
  addJob(kJob, {kVolume}, {true, false, "sysimg", {}, {}});
  ASSERT_EQ(imageRun().result, 0u);
  const QVariant first = recordedLastWrite(kJob, kVolume);
  QThread::sleep(1);

  // A change, so that the delta has blocks to send when the box goes away.
  const QString added = scratch("added.bin");
  {
    QFile file(added);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(noise(3 << 20, 14));
  }
  ASSERT_TRUE(writeIntoImage(image_, added, "added.bin").isEmpty());
  boxsim::BackupScript script;
  script.closeAfterDataChunks = 1;
  box().setScript(script);
  const RunOutcome failed = imageRun();
  EXPECT_NE(failed.row.status & 0x0001, 0x0001);
  EXPECT_TRUE(partHashmaps().isEmpty());
  EXPECT_EQ(recordedLastWrite(kJob, kVolume), first);
  EXPECT_TRUE(QFile::exists(signaturePath(kJob, kVolume, first.toLongLong())));
  EXPECT_EQ(box().store().versions(kJob, kVolume).size(), 1u);

  box().setScript({});
  QThread::sleep(1);
  ASSERT_EQ(imageRun().result, 0u);
  const auto versions = box().store().versions(kJob, kVolume);
  ASSERT_EQ(versions.size(), 2u);
  EXPECT_TRUE(versions[1].delta);
  expectRebuilt(2, image_, scratch("v2.img"));
}

TEST_F(SysImgE2E, AStopInTheMiddleOfAVolumeKeepsNoHalfImage) {
  startBoxAt("127.0.7.14");
  addJob(kJob, {kVolume}, {true, true, "sysimg", {}, {}});
  const RunOutcome run = runBackup(kJob, [this](Backup& backup) {
    kvn_test::waitFor([this] { return !partHashmaps().isEmpty(); }, std::chrono::seconds(30));
    backup.requestStop(false);
  });
  EXPECT_NE(run.row.status & 0x0080, 0);
  EXPECT_TRUE(partHashmaps().isEmpty());
  EXPECT_FALSE(recordedLastWrite(kJob, kVolume).isValid());
  EXPECT_TRUE(box().store().versions(kJob, kVolume).empty());
}

TEST_F(SysImgE2E, AnOfflineVolumeIsReportedAndTheOthersGoOn) {
  startBoxAt("127.0.7.15");
  addJob(kJob, {"gone", kVolume}, {false, false, "sysimg", {}, {}});
  const RunOutcome run = imageRun();
  EXPECT_NE(log().find("The volume gone is offline"), std::string::npos);
  EXPECT_EQ(run.row.status & 0x1008, 0x1008);
  EXPECT_GE(run.row.errors, 1);
  EXPECT_EQ(box().store().versions(kJob, kVolume).size(), 1u);
}

}  // namespace
}  // namespace kvn_e2e
