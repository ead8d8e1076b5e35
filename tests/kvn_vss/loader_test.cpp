// Loading and unloading the snapshot library, and what a snapshot set does
// when there is none.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <memory>

#include "../kvn_log/log_capture.h"
#include "kvn_vss/vss_import.h"
#include "vss_test_support.h"

namespace {

using kvn_test::occurrences;

TEST(VssLoaderTest, FailedLoadsLeaveNothingLoadedSoTheNextCallTriesAgain) {
  kvn_test::LogCapture capture;
  EXPECT_FALSE(kvn_vss::loadVssLibrary(QString(KVN_VSS_TEST_LIBRARY) + ".missing"));
  EXPECT_FALSE(kvn_vss::loadVssLibrary(KVN_VSS_NO_FACTORY_LIBRARY));
  EXPECT_FALSE(kvn_vss::unloadVssLibrary());

  ASSERT_TRUE(kvn_vss::loadVssLibrary(KVN_VSS_TEST_LIBRARY));
  EXPECT_TRUE(kvn_vss::unloadVssLibrary());

  const std::string log = capture.text();
  EXPECT_EQ(occurrences(log, "VSS library failed to load"), 1u) << log;
  EXPECT_EQ(occurrences(log, "VSS library does not have required functions"), 1u) << log;
  EXPECT_EQ(occurrences(log, "VSS library already loaded"), 0u) << log;
}

TEST(VssLoaderTest, SecondLoadIsRefusedAndUnloadHappensOnce) {
  ASSERT_TRUE(kvn_vss::loadVssLibrary(KVN_VSS_TEST_LIBRARY));
  kvn_test::LogCapture capture;
  EXPECT_FALSE(kvn_vss::loadVssLibrary(KVN_VSS_LINUX_LIBRARY));
  EXPECT_NE(capture.text().find("EE "), std::string::npos);
  EXPECT_NE(capture.text().find("VSS library already loaded"), std::string::npos);
  EXPECT_TRUE(kvn_vss::unloadVssLibrary());
  EXPECT_FALSE(kvn_vss::unloadVssLibrary());
}

TEST(VssLoaderTest, EnvironmentChoosesTheLibrary) {
  {
    kvn_test::ScopedEnv library(kvn_vss::kLibraryVariable, KVN_VSS_NO_FACTORY_LIBRARY);
    EXPECT_FALSE(kvn_vss::loadVssLibrary());
  }
  kvn_test::ScopedEnv library(kvn_vss::kLibraryVariable, KVN_VSS_TEST_LIBRARY);
  ASSERT_TRUE(kvn_vss::loadVssLibrary());
  kvn_vss::ShadowCopySet set;
  kvn_test::TempDir volume;
  EXPECT_TRUE(set.create({QString::fromStdString(volume.path())}));
  EXPECT_FALSE(set.snapshotPath(QString::fromStdString(volume.path())).isEmpty());
  set.release();
  EXPECT_TRUE(kvn_vss::unloadVssLibrary());
}

// The test program's folder stands for the service's: a bare name is found
// there although no system search would find it.
TEST(VssLoaderTest, BareNameIsFoundBesideTheProgram) {
  ASSERT_NE(QCoreApplication::instance(), nullptr);
  kvn_test::LogCapture capture;
  EXPECT_FALSE(kvn_vss::loadVssLibrary("kvn_vss_no_factory"));
  EXPECT_NE(capture.text().find("VSS library does not have required functions"), std::string::npos)
      << capture.text();
  EXPECT_EQ(capture.text().find("VSS library failed to load"), std::string::npos);
}

TEST(VssLoaderTest, SetWithoutLibraryIsEmptyAndFails) {
  kvn_test::LogCapture capture;
  kvn_vss::ShadowCopySet set;
  EXPECT_FALSE(set.create({"/"}));
  EXPECT_TRUE(set.isEmpty());
  EXPECT_TRUE(set.snapshotPath("/").isEmpty());
  set.release();
  EXPECT_NE(capture.text().find("VSS library not loaded"), std::string::npos);
}

// A set made before the library is unloaded still works and can be
// destroyed: its object's code must stay mapped until then.
TEST(VssLoaderTest, UnloadKeepsTheLibraryOfALiveSet) {
  kvn_test::TempDir volume;
  const QString path = QString::fromStdString(volume.path());
  auto set = std::make_unique<kvn_vss::ShadowCopySet>();
  ASSERT_TRUE(kvn_vss::loadVssLibrary(KVN_VSS_TEST_LIBRARY));
  ASSERT_TRUE(set->create({path}));
  const QString root = set->snapshotPath(path);
  kvn_vss::unloadVssLibrary();
  EXPECT_FALSE(kvn_vss::unloadVssLibrary());  // forgotten either way

  EXPECT_EQ(set->snapshotPath(path), root);
  set.reset();
  EXPECT_FALSE(QFileInfo::exists(root));

  ASSERT_TRUE(kvn_vss::loadVssLibrary(KVN_VSS_TEST_LIBRARY));
  EXPECT_TRUE(kvn_vss::unloadVssLibrary());
}

}  // namespace
