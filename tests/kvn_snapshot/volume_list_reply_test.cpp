// The "volume_list" answer: every record's fields under the box's names,
// sizes beyond 2^53 kept exact as decimal texts, and the count.
#include <gtest/gtest.h>

#include <QJsonArray>

#include "kvn_snapshot/volume_list_reply.h"

namespace {

TEST(VolumeListReply, RecordsKeepTheirFieldsAndExactSizes) {
  kvn_snapshot::VolumeRecord efi;
  efi.diskNumber = 0;
  efi.diskName = "Disk A";
  efi.diskSerial = "1b2c";
  efi.diskSize = (std::uint64_t(1) << 60) + 1;
  efi.volumeGuid = "0f0e-guid";
  efi.mountName = "(EFI)";
  efi.isCritical = true;
  efi.fsName = "EFI";
  efi.totalSize = 104857600;
  kvn_snapshot::VolumeRecord home;
  home.mountName = "/home";
  home.label = "home";
  home.freeSize = 12;
  const QJsonObject reply = kvn_snapshot::volumeListReply({efi, home});
  EXPECT_TRUE(reply.value("ok").toBool());
  EXPECT_EQ(reply.value("count").toInt(), 2);
  const QJsonArray entries = reply.value("entries").toArray();
  ASSERT_EQ(entries.size(), 2);
  const QJsonObject first = entries[0].toObject();
  EXPECT_EQ(first.value("disk").toInt(), 0);
  EXPECT_EQ(first.value("disk_size").toString(), "1152921504606846977");
  EXPECT_EQ(first.value("vol_name").toString(), "0f0e-guid");
  EXPECT_EQ(first.value("name").toString(), "(EFI)");
  EXPECT_EQ(first.value("filesystem").toString(), "EFI");
  EXPECT_TRUE(first.value("is_critical").toBool());
  EXPECT_EQ(first.value("total_size").toString(), "104857600");
  const QJsonObject second = entries[1].toObject();
  EXPECT_EQ(second.value("disk").toInt(), -1);
  EXPECT_FALSE(second.value("is_critical").toBool());
  EXPECT_EQ(second.value("label").toString(), "home");
  EXPECT_EQ(second.value("free_space").toString(), "12");
  EXPECT_EQ(kvn_snapshot::volumeListReply({}).value("count").toInt(), 0);
}

}  // namespace
