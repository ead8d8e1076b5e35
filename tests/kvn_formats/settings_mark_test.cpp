#include <gtest/gtest.h>

#include "kvn_formats/settings_mark.h"

namespace {

using kvn_formats::markRestoredSettings;

TEST(SettingsMark, MissingKeysAreAppendedAfterALineFeed) {
  EXPECT_EQ(markRestoredSettings("a=1"), "a=1\nreset_agent=true\nrestored_agent=true\n");
  EXPECT_EQ(markRestoredSettings("a=1\n"), "a=1\nreset_agent=true\nrestored_agent=true\n");
}

TEST(SettingsMark, ExistingLinesAreSetInPlaceWithoutNewLines) {
  EXPECT_EQ(markRestoredSettings("[General]\nreset_agent=false\nx=2\nrestored_agent=false\n"),
            "[General]\nreset_agent=true\nx=2\nrestored_agent=true\n");
  // A last line without its line feed gets one.
  EXPECT_EQ(markRestoredSettings("reset_agent=0\nrestored_agent=0"),
            "reset_agent=true\nrestored_agent=true\n");
  // Every occurrence is set; the other key is appended.
  EXPECT_EQ(markRestoredSettings("reset_agent=1\nreset_agent=\n"),
            "reset_agent=true\nreset_agent=true\nrestored_agent=true\n");
}

TEST(SettingsMark, KeysAreCaseSensitiveAndTheResultIsStable) {
  const QString once = markRestoredSettings("RESET_AGENT=false\n");
  EXPECT_EQ(once, "RESET_AGENT=false\nreset_agent=true\nrestored_agent=true\n");
  EXPECT_EQ(markRestoredSettings(once), once);
}

}  // namespace
