#include <gtest/gtest.h>

#include <atomic>

#include "kvn_common/file_sink.h"
#include "kvn_common/file_source.h"
#include "log_capture.h"
#include "recording_sink.h"
#include "temp_dir.h"

namespace {

using kvn_common::FileSink;
using kvn_common::FileSource;
using kvn_test::RecordingSink;

std::string pattern(std::size_t size) {
  std::string s(size, '\0');
  for (std::size_t i = 0; i < size; ++i) s[i] = static_cast<char>((i * 131) ^ (i >> 9));
  return s;
}

TEST(FileSource, PushesA64KiBBlockThen1MiBBlocksThenEndsOnce) {
  kvn_test::TempDir dir;
  const std::string content = pattern(0x10000 + 2 * 0x100000 + 3392);
  kvn_test::writeFile(dir.file("in"), content);
  std::atomic<bool> stop{false};
  FileSource source(&stop);
  RecordingSink sink;
  source.setNext(&sink);
  source.read(dir.file("in"));
  ASSERT_EQ(sink.blocks.size(), 4u);
  EXPECT_EQ(sink.blocks[0].size(), 0x10000u);
  EXPECT_EQ(sink.blocks[1].size(), 0x100000u);
  EXPECT_EQ(sink.blocks[2].size(), 0x100000u);
  EXPECT_EQ(sink.blocks[3].size(), 3392u);
  EXPECT_EQ(sink.text(), content);
  EXPECT_EQ(sink.ends, 1);
}

TEST(FileSource, EmptyFilePushesNothingAndStillEnds) {
  kvn_test::TempDir dir;
  kvn_test::writeFile(dir.file("empty"), "");
  FileSource source(nullptr);
  RecordingSink sink;
  source.setNext(&sink);
  source.read(dir.file("empty"));
  EXPECT_TRUE(sink.blocks.empty());
  EXPECT_EQ(sink.ends, 1);
}

TEST(FileSource, StopRequestIsSeenBeforeTheNextRead) {
  kvn_test::TempDir dir;
  kvn_test::writeFile(dir.file("in"), pattern(5 * 0x10000));
  std::atomic<bool> stop{false};
  FileSource source(&stop);
  RecordingSink sink;
  sink.onWrite = [&](std::size_t earlier) {
    if (earlier == 1) stop = true;
  };
  source.setNext(&sink);
  try {
    source.read(dir.file("in"));
    FAIL() << "a stop request must end the read";
  } catch (const KvnCommonException& e) {
    EXPECT_EQ(e.code, KVN_E_STOPPED);
    EXPECT_STREQ(e.what(), "Stopped by user");
  }
  EXPECT_EQ(sink.blocks.size(), 2u);
  EXPECT_EQ(sink.ends, 0);
}

TEST(FileSource, OpenAndReadFailuresLogAndThrowTheFileCode) {
  kvn_test::TempDir dir;
  kvn_test::LogCapture capture;
  FileSource source(nullptr);
  RecordingSink sink;
  source.setNext(&sink);
  try {
    source.read(dir.file("missing"));
    FAIL();
  } catch (const KvnCommonException& e) {
    EXPECT_EQ(e.code, KVN_E_SERVER);
    EXPECT_STREQ(e.what(), "Could not open input file");
  }
  // A folder opens but cannot be read.
  try {
    source.read(dir.path());
    FAIL();
  } catch (const KvnCommonException& e) {
    EXPECT_EQ(e.code, KVN_E_SERVER);
    EXPECT_STREQ(e.what(), "Error while reading file");
  }
  const std::string log = capture.text();
  EXPECT_NE(log.find("CreateFile error: 2"), std::string::npos) << log;
  EXPECT_NE(log.find("ReadFile error: 21"), std::string::npos) << log;
  EXPECT_EQ(sink.ends, 0);
}

TEST(FileSink, TruncatesAndWritesTheFile) {
  kvn_test::TempDir dir;
  kvn_test::writeFile(dir.file("out"), "old content that is longer");
  FileSink sink(dir.file("out"));
  sink.write("new", 3);
  sink.write("", 0);
  sink.write("er", 2);
  sink.end();
  EXPECT_EQ(kvn_test::readFile(dir.file("out")), "newer");
}

TEST(FileSink, OpenAndWriteFailuresThrowTheFileCode) {
  kvn_test::TempDir dir;
  const std::string path = dir.file("no/such/folder");
  try {
    FileSink sink(path);
    FAIL();
  } catch (const KvnCommonException& e) {
    EXPECT_EQ(e.code, KVN_E_SERVER);
    EXPECT_EQ(std::string(e.what()), "Could not open output file: " + path);
  }
  // /dev/full accepts the open and fails every write: the failure must
  // surface at the latest when the file is closed.
  FileSink full("/dev/full");
  const std::string block(0x10000, 'x');
  try {
    for (int i = 0; i < 4; ++i) full.write(block.data(), static_cast<std::uint32_t>(block.size()));
    full.end();
    FAIL() << "a full disk must not pass for success";
  } catch (const KvnCommonException& e) {
    EXPECT_EQ(e.code, KVN_E_SERVER);
  }
}

}  // namespace
