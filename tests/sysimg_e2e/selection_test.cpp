// Which volumes a job's patterns select, and the errors of the patterns that
// select nothing, against a made-up volume list.
#include <gtest/gtest.h>

#include "backup/volume/volumeselection.h"
#include "log_capture.h"

namespace {

using kvn_snapshot::VolumeRecord;

VolumeRecord volume(const QString& serial, const QString& guid) {
  VolumeRecord v;
  v.diskSerial = serial;
  v.volumeGuid = guid;
  return v;
}

const std::vector<VolumeRecord> kVolumes = {volume("disk-a", "a-1"), volume("disk-a", "a-2"),
                                            volume("disk-b", "b-1")};

TEST(VolumeSelection, DiskPatternSelectsItsVolumesMinusTheExcludedOnes) {
  EXPECT_EQ(selectVolumes({"disk-a|"}, {"disk-a|a-1"}, kVolumes), QStringList{"a-2"});
  EXPECT_EQ(selectVolumes({"disk-a|"}, {}, kVolumes), (QStringList{"a-1", "a-2"}));
  // An exclusion of another disk's serial does not apply.
  EXPECT_EQ(selectVolumes({"disk-a|"}, {"disk-b|a-1"}, kVolumes), (QStringList{"a-1", "a-2"}));
}

TEST(VolumeSelection, VolumePatternsNeedTheirDiskAndBadPatternsDoNotStopTheOthers) {
  kvn_test::LogCapture log;
  const QStringList selected =
      selectVolumes({"", "disk-b|b-1", "disk-a|b-1", "disk-a|gone", "disk-c|", "disk-a|"},
                    {"disk-a|a-1", "disk-a|a-2"}, kVolumes);
  EXPECT_EQ(selected, QStringList{"b-1"});
  const std::string text = log.text();
  EXPECT_NE(text.find("Empty path in volume selection pattern!"), std::string::npos);
  EXPECT_NE(text.find("Found matching volume, but serial is not the same: disk-a|b-1"),
            std::string::npos);
  EXPECT_NE(text.find("Found no volume matching pattern: disk-a|gone"), std::string::npos);
  EXPECT_NE(text.find("Found no volume matching serial pattern: disk-c|"), std::string::npos);
  EXPECT_NE(text.find("Found no volume matching serial pattern: disk-a|"), std::string::npos);
}

TEST(VolumeSelection, APlainEntryIsSelectedEvenWhenNoVolumeHasIt) {
  // It is reported offline when the run reaches it.
  EXPECT_EQ(selectVolumes({"not-here", "a-1"}, {}, kVolumes), (QStringList{"not-here", "a-1"}));
}

}  // namespace
