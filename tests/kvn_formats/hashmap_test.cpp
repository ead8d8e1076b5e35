#include <gtest/gtest.h>

#include <QBuffer>
#include <QFile>

#include "kvn_formats/volume_image/hashmap_reader.h"
#include "kvn_formats/volume_image/hashmap_writer.h"
#include "temp_dir.h"
#include "thrown.h"

namespace {

using namespace kvn_formats::volume_image;
using kvn_test::thrownBy;

constexpr std::uint32_t k2MiB = 0x200000;

HashmapBlockDesc descriptor(std::uint8_t seed) {
  HashmapBlockDesc d;
  for (std::size_t i = 0; i < d.digest.size(); ++i)
    d.digest[i] = static_cast<std::uint8_t>(seed + i);
  d.setChunkUsed(seed % 512);
  d.setChunkUsed(511);
  d.dataOffset = 1000u * seed;
  d.dataLength = 77u * seed;
  return d;
}

QByteArray fileBytes(const std::string& path) {
  QFile f(QString::fromStdString(path));
  EXPECT_TRUE(f.open(QIODevice::ReadOnly));
  return f.readAll();
}

// The fsName field as stored: 16 bytes at offset 108.
QByteArray raw16(const std::string& path) { return fileBytes(path).mid(108, 16); }

std::unique_ptr<HashmapReader> readerOf(const QByteArray& bytes) {
  auto buffer = std::make_unique<QBuffer>();
  buffer->setData(bytes);
  return std::make_unique<HashmapReader>(std::move(buffer), QStringLiteral("memory"));
}

// A 5 MiB + 512 byte image: three blocks, the last one short.
std::string writeSample(const kvn_test::TempDir& dir) {
  const std::string path = dir.file("sample.sig");
  HashmapWriter w(QString::fromStdString(path), kFlagParent | kFlagLz4, 5 * 0x100000 + 512, k2MiB,
                  4096, 1048576, 5 * 0x100000 + 512, "ext4-with-a-long-name");
  w.setCreatedAt(1700000000);
  Uuid id{};
  id[0] = 0xAB;
  id[15] = 0xCD;
  w.setImageId(id);
  Uuid parent{};
  parent[3] = 7;
  w.setParentId(parent);
  Uuid disk{};
  disk[0] = 0x12;
  w.setDiskId(disk);
  w.setBlock(0, descriptor(1));
  w.setBlock(2, descriptor(9));
  w.setBlock(0, descriptor(3));  // in place: no new slot
  w.setMetaData(kMetaMbr, QByteArray(1552, 'm'));
  w.setHardwareInfo(QByteArray("{\"arch\": \"x86_64\"}"));
  w.close();
  return path;
}

TEST(Hashmap, RoundTripKeepsEveryFieldAndBlock) {
  kvn_test::TempDir dir;
  const std::string path = writeSample(dir);
  HashmapReader r(QString::fromStdString(path));
  EXPECT_EQ(r.version(), kHashmapVersion);
  EXPECT_EQ(r.imageSize(), 5u * 0x100000 + 512);
  EXPECT_EQ(r.flags(), kFlagParent | kFlagLz4);
  EXPECT_EQ(r.blockSize(), k2MiB);
  EXPECT_EQ(r.chunkSize(), 4096u);
  EXPECT_EQ(r.createdAt(), 1700000000u);
  EXPECT_EQ(r.imageId()[0], 0xAB);
  EXPECT_EQ(r.imageId()[15], 0xCD);
  EXPECT_EQ(r.parentId()[3], 7);
  EXPECT_EQ(r.diskId()[0], 0x12);
  EXPECT_EQ(r.partitionOffset(), 1048576u);
  EXPECT_EQ(r.metaType(), kMetaMbr);
  EXPECT_EQ(r.fsName(), QStringLiteral("ext4-with-a-long"));  // 16 bytes, no terminator
  EXPECT_EQ(raw16(path), QByteArray("ext4-with-a-long"));
  EXPECT_EQ(r.blockCount(), 3u);
  EXPECT_EQ(r.storedBlockCount(), 2u);

  HashmapBlockDesc d;
  ASSERT_TRUE(r.readBlock(0, &d));
  EXPECT_TRUE(d.sameContentAs(descriptor(3)));
  EXPECT_EQ(d.dataOffset, 3000u);
  EXPECT_EQ(d.dataLength, 231u);
  EXPECT_FALSE(r.readBlock(1, &d));
  ASSERT_TRUE(r.readBlock(2, &d));
  EXPECT_TRUE(d.isChunkUsed(9));
  EXPECT_TRUE(d.isChunkUsed(511));
  EXPECT_FALSE(d.isChunkUsed(10));
  EXPECT_EQ(r.metaData(), QByteArray(1552, 'm'));
  EXPECT_EQ(r.hardwareInfo(), QByteArray("{\"arch\": \"x86_64\"}"));

  // Layout: big-endian header fields, table at 512, data area at 1024 with
  // the two descriptors first.
  const QByteArray raw = fileBytes(path);
  EXPECT_EQ(raw.left(8), QByteArray("KvHm\x00\x02\x00\x03", 8));
  EXPECT_EQ(raw.mid(512, 12), QByteArray("\x00\x00\x04\x00\xff\xff\xff\xff\x00\x00\x04\x5c", 12));
  EXPECT_EQ(raw.size(), 1024 + 2 * 92 + 1552 + 18);
  EXPECT_EQ(raw.mid(132, 380), QByteArray(380, '\0'));
}

// Descriptors usually come in block order, one after the other; out of
// order, rewritten, or between other areas they must still land in and come
// from their own slots.
TEST(Hashmap, DescriptorsInAnyOrderLandInAndComeFromTheirSlots) {
  kvn_test::TempDir dir;
  const QString path = QString::fromStdString(dir.file("order.sig"));
  {
    HashmapWriter w(path, 0, 4 * std::uint64_t(k2MiB), k2MiB, 4096, 0, 4 * k2MiB, "ext4");
    w.setBlock(3, descriptor(4));
    w.setBlock(0, descriptor(1));
    w.setMetaData(kMetaMbr, QByteArray(600, 'm'));
    w.setBlock(3, descriptor(5));
    w.setBlock(1, descriptor(2));
    w.close();
  }
  HashmapReader r(path);
  HashmapBlockDesc d;
  for (const auto& [index, seed] : {std::pair{3, 5}, {0, 1}, {1, 2}, {0, 1}, {3, 5}}) {
    ASSERT_TRUE(r.readBlock(index, &d)) << index;
    EXPECT_TRUE(d.sameContentAs(descriptor(std::uint8_t(seed)))) << index;
    EXPECT_EQ(d.dataOffset, 1000u * seed) << index;
    if (index == 0) {
      EXPECT_EQ(r.metaData(), QByteArray(600, 'm'));
    }
  }
  EXPECT_FALSE(r.readBlock(2, &d));
}

TEST(Hashmap, DataAreaStartsAfterTheTableOnA512ByteBoundary) {
  HashmapHeader h;
  h.blockSize = 512;
  for (auto [blocks, start] : {std::pair{100u, 1024u}, {128u, 1024u}, {129u, 1536u}}) {
    h.imageSize = 512ull * blocks;
    EXPECT_EQ(h.dataAreaStart(), start) << blocks;
  }
}

TEST(Hashmap, EmptyMetaDataKeepsItsTypeOnly) {
  kvn_test::TempDir dir;
  const QString path = QString::fromStdString(dir.file("m.sig"));
  {
    HashmapWriter w(path, 0, 4096, 4096, 4096, 0, 4096, "vfat");
    w.setMetaData(kMetaGpt, {});
  }  // the destructor closes
  HashmapReader r(path);
  EXPECT_EQ(r.metaType(), kMetaGpt);
  EXPECT_EQ(r.header().metaOffset, kNoEntry);
  EXPECT_EQ(r.header().metaLength, kNoEntry);
  EXPECT_TRUE(r.metaData().isEmpty());
  EXPECT_TRUE(r.hardwareInfo().isEmpty());
}

TEST(Hashmap, WriterRefusesBadSizesAndBlockNumbers) {
  kvn_test::TempDir dir;
  const QString path = QString::fromStdString(dir.file("w.sig"));
  struct Case {
    std::uint64_t image;
    std::uint32_t block, chunk;
    const char* text;
  };
  for (const Case& c :
       {Case{1000, k2MiB, 4096, "HashmapWriter: imageSize must be a multiple of sector size"},
        Case{4096, 1000, 4096, "HashmapWriter: blockSize must be a multiple of sector size"},
        Case{4096, 0, 4096, "HashmapWriter: blockSize must be a multiple of sector size"},
        Case{4096, k2MiB, 0, "HashmapWriter: chunkSize must be a multiple of sector size"},
        Case{4096, 4096, 1536, "HashmapWriter: blockSize must be a multiple of chunkSize"},
        Case{4096, k2MiB, 512, "HashmapWriter: a block holds at most 512 chunks"}}) {
    const auto e = thrownBy([&] { HashmapWriter(path, 0, c.image, c.block, c.chunk, 0, 0, "x"); });
    EXPECT_STREQ(e.what(), c.text);
    EXPECT_EQ(e.code, KVN_E_SERVER);
  }
  HashmapWriter w(path, 0, 4096, 4096, 4096, 0, 0, "x");
  EXPECT_STREQ(thrownBy([&] { w.setBlock(1, HashmapBlockDesc{}); }).what(),
               "HashmapWriter: Invalid block number");
  const auto open = thrownBy([&] {
    HashmapWriter(QString::fromStdString(dir.file("no/such/folder.sig")), 0, 0, 4096, 4096, 0, 0,
                  "");
  });
  EXPECT_EQ(open.code, KVN_E_EXCEPTION);
  EXPECT_STRNE(std::strstr(open.what(), "Failed to open HashmapWriter output file: "), nullptr);
}

TEST(Hashmap, ReaderAcceptsVersion20002AndRejectsOlderOrCorruptHeaders) {
  kvn_test::TempDir dir;
  const QByteArray good = fileBytes(writeSample(dir));
  QByteArray v2 = good;
  v2[7] = 0x02;
  EXPECT_EQ(readerOf(v2)->version(), 0x00020002u);

  QByteArray v1 = good;
  v1[7] = 0x01;
  EXPECT_STREQ(thrownBy([&] { readerOf(v1); }).what(), "HashmapReader: unsupported file version");

  QByteArray magic = good;
  magic[0] = 'X';
  EXPECT_STREQ(thrownBy([&] { readerOf(magic); }).what(),
               "HashmapHeader: Magic cookie check failed");

  QByteArray zeroBlock = good;
  std::memset(zeroBlock.data() + 20, 0, 4);
  EXPECT_STREQ(thrownBy([&] { readerOf(zeroBlock); }).what(), "HashmapReader: invalid header");

  // A forged image size asks for a table far larger than the file.
  QByteArray huge = good;
  std::memset(huge.data() + 8, 0x7F, 4);
  try {
    readerOf(huge);
    ADD_FAILURE() << "a forged block count was read";
  } catch (const KvnQFileException& e) {
    EXPECT_STREQ(e.what(), "HashmapReader: Block table read error");
    EXPECT_EQ(e.code, KVN_E_SERVER);
  }

  const auto missing = thrownBy([&] { HashmapReader(QString::fromStdString(dir.file("none"))); });
  EXPECT_EQ(missing.code, KVN_E_EXCEPTION);
}

TEST(Hashmap, EveryTruncationAndOutOfFileOffsetGivesAnErrorNotACrash) {
  kvn_test::TempDir dir;
  const QByteArray good = fileBytes(writeSample(dir));
  for (qsizetype cut = 0; cut < good.size(); ++cut) {
    try {
      auto r = readerOf(good.left(cut));
      HashmapBlockDesc d;
      for (std::uint64_t i = 0; i < r->blockCount(); ++i) r->readBlock(i, &d);
      r->metaData();
      r->hardwareInfo();
      ADD_FAILURE() << "no error for a file cut at " << cut;
    } catch (const KvnCommonException&) {
    }
  }
  // Meta data said to lie beyond the end of the file.
  QByteArray far = good;
  std::memcpy(far.data() + 104, "\x7f\xff\xff\xff", 4);
  EXPECT_STREQ(thrownBy([&] { readerOf(far)->metaData(); }).what(),
               "HashmapReader: Meta data read error");
  auto r = readerOf(good);
  EXPECT_STREQ(thrownBy([&] { r->readBlock(3, nullptr); }).what(),
               "HashmapReader: Invalid block number");
  EXPECT_STREQ(thrownBy([&] { r->readBlock(0, nullptr); }).what(),
               "HashmapReader: Output descriptor is null");
}

TEST(Hashmap, DescriptorChunkBitsAndEquality) {
  HashmapBlockDesc a;
  a.setChunkUsed(0);
  a.setChunkUsed(9);
  EXPECT_EQ(a.chunkMap[0], 0x01);
  EXPECT_EQ(a.chunkMap[1], 0x02);
  a.setChunkUsed(9, false);
  EXPECT_FALSE(a.isChunkUsed(9));
  EXPECT_STREQ(thrownBy([&] { a.isChunkUsed(512); }).what(),
               "HashmapBlockDesc: Invalid chunk number");
  HashmapBlockDesc b = a;
  b.dataOffset = 5;
  b.dataLength = 6;
  EXPECT_TRUE(a.sameContentAs(b));
  b.digest[15] ^= 1;
  EXPECT_FALSE(a.sameContentAs(b));
}

}  // namespace
