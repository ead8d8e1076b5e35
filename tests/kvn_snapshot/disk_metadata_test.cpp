#include <gtest/gtest.h>

#include <QtEndian>

#include "disk_images.h"
#include "disk_scripts.h"
#include "kvn_formats/volume_image/hashmap_reader.h"
#include "kvn_formats/volume_image/hashmap_writer.h"
#include "kvn_snapshot/disk_metadata.h"
#include "temp_dir.h"

namespace {

using namespace kvn_formats::volume_image;
using kvn_snapshot::DiskMetadataDump;
using kvn_snapshot::readDiskMetadata;

std::uint64_t bigEndianAt(const QByteArray& bytes, qsizetype at) {
  return qFromBigEndian<std::uint64_t>(bytes.constData() + at);
}

// The dump of a test disk made by script, and the disk's bytes in *raw.
DiskMetadataDump dumpOf(const QString& script, QByteArray* raw) {
  kvn_test::TempDir dir;
  const std::string disk = dir.file("disk.img");
  DiskMetadataDump dump;
  EXPECT_TRUE(kvn_test::makeDisk(disk, kvn_test::kTestDiskSize, script));
  *raw = QByteArray::fromStdString(kvn_test::readFile(disk));
  EXPECT_TRUE(readDiskMetadata(QString::fromStdString(disk), &dump));
  return dump;
}

TEST(DiskMetadata, MbrDumpHoldsSectorZeroAndEveryExtendedBootRecord) {
  QByteArray raw;
  const DiskMetadataDump dump = dumpOf(kvn_test::kMbrScript, &raw);
  EXPECT_EQ(dump.type, kMetaMbr);
  ASSERT_EQ(dump.bytes.size(), 512 + (8 + 512) * 2);
  EXPECT_EQ(dump.bytes.left(512), raw.left(512));
  EXPECT_EQ(bigEndianAt(dump.bytes, 512), kvn_test::kFirstEbr);
  EXPECT_EQ(dump.bytes.mid(520, 512), raw.mid(kvn_test::kFirstEbr, 512));
  EXPECT_EQ(bigEndianAt(dump.bytes, 1032), kvn_test::kSecondEbr);
  EXPECT_EQ(dump.bytes.mid(1040, 512), raw.mid(kvn_test::kSecondEbr, 512));
  const Uuid id{0x12, 0x34, 0x56, 0x78};  // big-endian signature, then zeros
  EXPECT_EQ(dump.diskId, id);
}

TEST(DiskMetadata, GptDumpHoldsBothAreasAroundTheUsableSpace) {
  QByteArray raw;
  const DiskMetadataDump dump = dumpOf(kvn_test::kGptScript, &raw);
  EXPECT_EQ(dump.type, kMetaGpt);
  const std::uint64_t mainSize = 17408;
  const std::uint64_t copyOffset = 65503ull * 512;  // after the last usable sector
  const std::uint64_t copySize = kvn_test::kTestDiskSize - copyOffset;
  EXPECT_EQ(dump.bytes.left(8), QByteArray("\0\0\0\0\0\0\x44\0", 8));
  EXPECT_EQ(bigEndianAt(dump.bytes, 8), copySize);
  EXPECT_EQ(bigEndianAt(dump.bytes, 16), copyOffset);
  ASSERT_EQ(static_cast<std::uint64_t>(dump.bytes.size()), 24 + mainSize + copySize);
  EXPECT_EQ(dump.bytes.mid(24, mainSize), raw.left(mainSize));
  EXPECT_EQ(dump.bytes.mid(24 + mainSize), raw.mid(copyOffset));
  const Uuid stored{0x67, 0x45, 0x23, 0x01, 0xAB, 0x89, 0xEF, 0xCD,
                    0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
  EXPECT_EQ(dump.diskId, stored);
}

TEST(DiskMetadata, DumpIsStoredInTheHashmapOrNothingIs) {
  kvn_test::TempDir dir;
  const std::string disk = dir.file("gpt.img");
  ASSERT_TRUE(kvn_test::makeDisk(disk, kvn_test::kTestDiskSize, kvn_test::kGptScript));
  const QString sig = QString::fromStdString(dir.file("v.sig"));
  {
    HashmapWriter writer(sig, 0, 1 << 20, 0x200000, 4096, 0, 1 << 20, "ext4");
    EXPECT_TRUE(kvn_snapshot::dumpDiskMetadata(QString::fromStdString(disk), writer));
    // A disk that cannot be read stores nothing more.
    EXPECT_FALSE(kvn_snapshot::dumpDiskMetadata(QString::fromStdString(dir.file("none")), writer));
  }
  HashmapReader reader(sig);
  EXPECT_EQ(reader.metaType(), kMetaGpt);
  EXPECT_EQ(reader.metaData().size(), 24 + 17408 + 33 * 512);
  EXPECT_EQ(reader.diskId()[0], 0x67);

  // A disk without a partition table: nothing is stored, and that is no
  // failure.
  const std::string bare = dir.file("bare.img");
  kvn_test::makePatternFile(bare, 1 << 20);
  HashmapWriter writer(sig, 0, 1 << 20, 0x200000, 4096, 0, 1 << 20, "ext4");
  EXPECT_TRUE(kvn_snapshot::dumpDiskMetadata(QString::fromStdString(bare), writer));
  writer.close();
  EXPECT_EQ(HashmapReader(sig).metaType(), kMetaNone);
}

}  // namespace
