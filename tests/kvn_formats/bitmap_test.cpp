#include <gtest/gtest.h>

#include "kvn_formats/volume_image/generic_bitmap.h"
#include "thrown.h"

namespace {

using kvn_formats::volume_image::GenericBitmap;
using kvn_test::thrownBy;

TEST(GenericBitmap, BitsAreLeastSignificantFirstAndCoverGranularityBytes) {
  const GenericBitmap b({0x05, 0x80}, 4096);  // clusters 0, 2 and 15
  EXPECT_TRUE(b.isSet(0));
  EXPECT_TRUE(b.isSet(4095));
  EXPECT_FALSE(b.isSet(4096));
  EXPECT_TRUE(b.isSet(2 * 4096 + 17));
  EXPECT_TRUE(b.isSet(15 * 4096));
  EXPECT_FALSE(b.isSet(14 * 4096));
  EXPECT_STREQ(thrownBy([&] { b.isSet(16 * 4096); }).what(),
               "GenericBitmap: value is out of bounds");
}

TEST(GenericBitmap, AnySetMasksBothEndsOfARange) {
  const GenericBitmap b({0x81, 0x00, 0x01}, 1);  // bits 0, 7 and 16
  EXPECT_FALSE(b.anySet(1, 6));                  // inside one byte: both ends masked
  EXPECT_TRUE(b.anySet(1, 7));
  EXPECT_TRUE(b.anySet(0, 1));
  EXPECT_FALSE(b.anySet(8, 8));  // a whole clear byte
  EXPECT_FALSE(b.anySet(8, 8));
  EXPECT_TRUE(b.anySet(7, 10));
  EXPECT_FALSE(b.anySet(9, 7));
  EXPECT_TRUE(b.anySet(9, 8));    // reaches bit 16 in the last byte
  EXPECT_FALSE(b.anySet(17, 7));  // last byte masked from bit 1 up
  EXPECT_TRUE(b.anySet(1, 20));   // a middle byte is skipped over, the ends count
  EXPECT_STREQ(thrownBy([&] { b.anySet(3, 0); }).what(), "GenericBitmap: length is zero");
  EXPECT_STREQ(thrownBy([&] { b.anySet(20, 5); }).what(), "GenericBitmap: range is out of bounds");
  EXPECT_STREQ(thrownBy([&] { b.anySet(2, UINT64_MAX); }).what(),
               "GenericBitmap: range is out of bounds");
}

TEST(GenericBitmap, SetClusterAndFilled) {
  GenericBitmap b = GenericBitmap::filled(2, 512, false);
  EXPECT_FALSE(b.anySet(0, 16 * 512));
  b.setCluster(9, true);
  EXPECT_EQ(b.data()[1], 0x02);
  EXPECT_TRUE(b.anySet(9 * 512 + 511, 1));
  b.setCluster(9, false);
  EXPECT_FALSE(b.anySet(0, 16 * 512));
  EXPECT_TRUE(GenericBitmap::filled(1, 4096, true).anySet(0, 8 * 4096));
}

}  // namespace
