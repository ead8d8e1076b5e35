#include <gtest/gtest.h>

#include <cstring>

#include "disk_images.h"
#include "disk_scripts.h"
#include "kvn_snapshot/disks.h"
#include "kvn_snapshot/partition_table.h"
#include "temp_dir.h"

namespace {

using kvn_snapshot::PartitionTable;

bool parseBytes(const std::string& disk, PartitionTable* table, QString* why) {
  const auto reader = [&disk](std::uint64_t offset, void* data, std::size_t length) {
    if (offset + length > disk.size()) return false;
    std::memcpy(data, disk.data() + offset, length);
    return true;
  };
  return kvn_snapshot::parsePartitionTable(reader, disk.size(), 512, table, why);
}

// The table of a test disk made by script.
PartitionTable tableOf(const QString& script) {
  kvn_test::TempDir dir;
  PartitionTable t;
  QString why;
  EXPECT_TRUE(kvn_test::makeDisk(dir.file("d"), kvn_test::kTestDiskSize, script));
  EXPECT_TRUE(kvn_snapshot::readPartitionTable(QString::fromStdString(dir.file("d")), &t, &why))
      << why.toStdString();
  return t;
}

TEST(PartitionTable, MbrWithLogicalPartitionsAndItsSerial) {
  const PartitionTable t = tableOf(kvn_test::kMbrScript);
  EXPECT_EQ(t.style, PartitionTable::Style::Mbr);
  EXPECT_EQ(t.mbrSignature(), 0x12345678u);
  EXPECT_EQ(t.ebrOffsets, (std::vector<std::uint64_t>{kvn_test::kFirstEbr, kvn_test::kSecondEbr}));
  ASSERT_EQ(t.partitions.size(), 4u);
  EXPECT_TRUE(t.partitions[0].bootIndicator);
  EXPECT_EQ(t.partitions[2].number, 5u);
  EXPECT_EQ(t.partitions[2].offset, 12288u * 512);
  EXPECT_EQ(t.partitions[3].offset, 22528u * 512);
  EXPECT_TRUE(t.hasBootablePartition());
  // The signature bytes as stored on the disk.
  EXPECT_EQ(kvn_snapshot::diskSerialText(t, "SER"), "78563412");
}

TEST(PartitionTable, GptWithEfiPartitionAndItsSerial) {
  const PartitionTable t = tableOf(kvn_test::kGptScript);
  EXPECT_EQ(t.style, PartitionTable::Style::Gpt);
  EXPECT_EQ(t.firstUsableOffset, 17408u);
  EXPECT_EQ(t.usableLength, (65502u - 34 + 1) * 512);
  ASSERT_EQ(t.partitions.size(), 2u);
  EXPECT_TRUE(t.partitions[0].isEfiSystem());
  EXPECT_FALSE(t.partitions[1].isEfiSystem());
  EXPECT_EQ(t.partitions[1].offset, 10240u * 512);
  EXPECT_EQ(kvn_snapshot::diskSerialText(t, "SER"), kvn_test::kGptDiskGuid);
  EXPECT_EQ(kvn_snapshot::diskSerialText(PartitionTable{}, "SER"), "SER");
}

TEST(PartitionTable, LoopingOrOutOfDiskTablesAreRefused) {
  kvn_test::TempDir dir;
  ASSERT_TRUE(kvn_test::makeDisk(dir.file("m"), kvn_test::kTestDiskSize, kvn_test::kMbrScript));
  std::string mbr = kvn_test::readFile(dir.file("m"));
  PartitionTable t;
  QString why;
  // The second EBR links to itself.
  std::string looping = mbr;
  char* link = &looping[kvn_test::kSecondEbr + 446 + 16];
  std::memset(link, 0, 16);
  link[4] = 0x05;
  link[9] = 0x28;  // 10240 sectors after the extended partition's start
  link[12] = 0x08;
  EXPECT_FALSE(parseBytes(looping, &t, &why));
  EXPECT_TRUE(why.contains("loops"));
  // The extended partition points beyond the disk.
  std::string outside = mbr;
  outside[446 + 16 + 11] = 0x7F;
  EXPECT_FALSE(parseBytes(outside, &t, &why));

  ASSERT_TRUE(kvn_test::makeDisk(dir.file("g"), kvn_test::kTestDiskSize, kvn_test::kGptScript));
  std::string gpt = kvn_test::readFile(dir.file("g"));
  gpt[512 + 80 + 3] = 0x7F;  // an absurd number of partition entries
  EXPECT_FALSE(parseBytes(gpt, &t, &why));
  EXPECT_FALSE(parseBytes(gpt.substr(0, 600), &t, &why));  // header cut short
  // No boot signature: no table.
  ASSERT_TRUE(parseBytes(std::string(4096, '\0'), &t, &why));
  EXPECT_EQ(t.style, PartitionTable::Style::None);
}

}  // namespace
