// A file written through AtomicFileSink is either the old one or the whole
// new one, whatever happens on the way.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>

#include "kvn_common/atomic_file_sink.h"
#include "kvn_log/exception.h"
#include "temp_dir.h"

namespace {

using kvn_common::AtomicFileSink;

bool exists(const std::string& path) { return std::filesystem::exists(path); }

TEST(AtomicFileSink, TheOldFileStaysUntilTheNewOneIsWholeAndALeftoverPartIsReplaced) {
  kvn_test::TempDir dir;
  const std::string path = dir.file("sig");
  kvn_test::writeFile(path, "old signature");
  // What a killed process left behind.
  kvn_test::writeFile(AtomicFileSink::partPath(path), "half of a much longer signature");
  {
    AtomicFileSink sink(path);
    sink.write("new ", 4);
    EXPECT_EQ(kvn_test::readFile(path), "old signature") << "visible before it was whole";
    sink.write("one", 3);
    sink.end();
  }
  EXPECT_EQ(kvn_test::readFile(path), "new one");
  EXPECT_FALSE(exists(AtomicFileSink::partPath(path)));
}

TEST(AtomicFileSink, AWriteNeverEndedLeavesNeitherPartNorChange) {
  kvn_test::TempDir dir;
  const std::string path = dir.file("sig");
  kvn_test::writeFile(path, "old");
  {
    AtomicFileSink sink(path);
    sink.write("abandoned", 9);
  }
  EXPECT_EQ(kvn_test::readFile(path), "old");
  EXPECT_FALSE(exists(AtomicFileSink::partPath(path)));
  { AtomicFileSink sink(dir.file("fresh")); }
  EXPECT_FALSE(exists(dir.file("fresh")));
}

TEST(AtomicFileSink, FailuresThrowTheFileCodeAndCleanUp) {
  kvn_test::TempDir dir;
  try {
    AtomicFileSink sink(dir.file("no/such/folder/sig"));
    FAIL() << "opened in a folder that does not exist";
  } catch (const KvnCommonException& e) {
    EXPECT_EQ(e.code, KVN_E_SERVER);
  }

  // A file size limit makes write() fail as a full disk does.
  const std::string path = dir.file("sig");
  kvn_test::writeFile(path, "old");
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto previousHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool thrown = false;
  try {
    AtomicFileSink sink(path);
    const std::string block(0x10000, 'x');
    sink.write(block.data(), static_cast<std::uint32_t>(block.size()));
    sink.end();
  } catch (const KvnCommonException& e) {
    thrown = e.code == KVN_E_SERVER;
  }
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previousHandler);
  EXPECT_TRUE(thrown) << "a full disk must not pass for success";
  EXPECT_EQ(kvn_test::readFile(path), "old");
  EXPECT_FALSE(exists(AtomicFileSink::partPath(path)));
}

}  // namespace
