#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>
#include <ctime>
#include <regex>
#include <string>

#include <gtest/gtest.h>

#include "kvn_log/log.h"
#include "log_capture.h"

namespace {

using kvn_test::LogCapture;

TEST(LogLine, HasTagUtcTimeBaseNameLocationAndMessage) {
  LogCapture capture;
  KLOG_I("hello %d", 42);
  KLOG_E("bad");
  const std::regex line(
      R"(ii \[\d\d-\d\d \d\d:\d\d:\d\d\] log_line_test\.cpp:\d+ - hello 42\n)"
      R"(EE \[\d\d-\d\d \d\d:\d\d:\d\d\] log_line_test\.cpp:\d+ - bad\n)");
  EXPECT_TRUE(std::regex_match(capture.text(), line)) << capture.text();
}

TEST(LogLine, TimeIsUtcWhateverTheLocalZone) {
  LogCapture capture;
  const char* oldTz = std::getenv("TZ");
  std::string saved = oldTz ? oldTz : "";
  // Fourteen hours ahead of UTC: local and UTC differ in the day or hour.
  ::setenv("TZ", "Pacific/Kiritimati", 1);
  ::tzset();
  const std::time_t before = std::time(nullptr);
  KLOG_W("zone");
  const std::time_t after = std::time(nullptr);
  if (oldTz) ::setenv("TZ", saved.c_str(), 1); else ::unsetenv("TZ");
  ::tzset();

  const std::string text = capture.text();
  bool matched = false;
  for (std::time_t t = before; t <= after; ++t) {
    std::tm utc{};
    gmtime_r(&t, &utc);
    char expected[64];
    std::strftime(expected, sizeof expected, "ww [%m-%d %T]", &utc);
    matched = matched || text.rfind(expected, 0) == 0;
  }
  EXPECT_TRUE(matched) << text;
}

TEST(LogThreshold, LinesBelowTheThresholdAreNotWrittenNorFormatted) {
  LogCapture capture;
  kvn_log::setLevel(kvn_log::Info);
  int evaluated = 0;
  auto costly = [&] { ++evaluated; return 1; };
  KLOG_D("debug %d", costly());
  KLOG_T("trace %d", costly());
  EXPECT_EQ(evaluated, 0);
  EXPECT_EQ(capture.text(), "");

  kvn_log::setLevel(kvn_log::Fatal);
  KLOG_E("error");
  EXPECT_EQ(capture.text(), "");
  KLOG_F("fatal");
  EXPECT_NE(capture.text().find("FF ["), std::string::npos);
}

TEST(LogThreshold, UnknownLevelGetsTheQuestionTag) {
  EXPECT_STREQ(kvn_log::levelTag(static_cast<kvn_log::Level>(9)), "?? ");
  EXPECT_STREQ(kvn_log::levelTag(kvn_log::Trace), "tt ");
  EXPECT_STREQ(kvn_log::levelTag(kvn_log::Debug), "dd ");
}

TEST(LogCallbackCut, LongMessagesAreCutOnlyWhileACallbackIsInstalled) {
  LogCapture capture;
  const std::string longText(1500, 'x');

  KLOG_I("%s", longText.c_str());
  EXPECT_NE(capture.text().find(longText + "\n"), std::string::npos);

  std::string seen;
  std::string seenFile;
  std::string seenTime;
  kvn_log::setCallback([&](kvn_log::Level level, const char* time, const char* file, int,
                           const char* message) {
    EXPECT_EQ(level, kvn_log::Warning);
    seen = message;
    seenFile = file;
    seenTime = time;
  });
  KLOG_W("%s", longText.c_str());
  kvn_log::setCallback(nullptr);

  EXPECT_EQ(seen, std::string(1023, 'x'));
  EXPECT_EQ(seenFile, "log_line_test.cpp");
  EXPECT_TRUE(std::regex_match(seenTime, std::regex(R"(\d\d-\d\d \d\d:\d\d:\d\d)")));
  const std::string text = capture.text();
  EXPECT_NE(text.find("- " + std::string(1023, 'x') + "\n"), std::string::npos);
}

TEST(ParseLevel, UsesOnlyTheFirstCharacterAndIgnoresTheRest) {
  struct Case {
    const char* text;
    kvn_log::Level expected;
  };
  const Case cases[] = {{"Warning", kvn_log::Warning}, {"w", kvn_log::Warning},
                        {"wrong", kvn_log::Warning},   {"T", kvn_log::Trace},
                        {"debug", kvn_log::Debug},     {"Error", kvn_log::Error},
                        {"fatal", kvn_log::Fatal},     {"info", kvn_log::Info}};
  for (const Case& c : cases) {
    kvn_log::setLevel(kvn_log::Fatal);
    if (c.expected == kvn_log::Fatal) kvn_log::setLevel(kvn_log::Info);
    kvn_log::parseLevel(c.text);
    EXPECT_EQ(kvn_log::level(), c.expected) << c.text;
  }
  kvn_log::setLevel(kvn_log::Error);
  kvn_log::parseLevel("x");
  EXPECT_EQ(kvn_log::level(), kvn_log::Error);
  kvn_log::parseLevel("");
  EXPECT_EQ(kvn_log::level(), kvn_log::Error);
  kvn_log::setLevel(kvn_log::Info);
}

// Colours reach a terminal only; a file gets plain lines.
TEST(LogColours, TerminalGetsAnsiColoursFileGetsPlainText) {
  int master = -1;
  int slave = -1;
  ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  const int savedOut = ::dup(STDOUT_FILENO);
  std::fflush(stdout);
  ::dup2(slave, STDOUT_FILENO);
  kvn_log::setColored(true);
  KLOG_E("on a terminal");
  kvn_log::setColored(false);
  std::fflush(stdout);
  ::dup2(savedOut, STDOUT_FILENO);
  ::close(savedOut);
  char buffer[512] = {};
  const ssize_t n = ::read(master, buffer, sizeof buffer - 1);
  ::close(slave);
  ::close(master);
  ASSERT_GT(n, 0);
  const std::string text(buffer, static_cast<std::size_t>(n));
  // bright red for the tag and location, then back to the default before
  // the message
  EXPECT_EQ(text.rfind("\033[0;91mEE [", 0), 0u) << text;
  EXPECT_NE(text.find("\033[0m- on a terminal"), std::string::npos) << text;

  LogCapture capture;
  kvn_log::setColored(true);
  KLOG_E("in a file");
  kvn_log::setColored(false);
  EXPECT_EQ(capture.text().find('\033'), std::string::npos);
}

TEST(LogConcurrency, LinesFromManyThreadsNeverInterleave) {
  LogCapture capture;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 200; ++i) KLOG_I("thread %d line %d %s", t, i, "payload-payload-payload");
    });
  }
  for (auto& th : threads) th.join();
  const std::string text = capture.text();
  const std::regex line(R"(ii \[[^\]]+\] log_line_test\.cpp:\d+ - thread \d line \d+ payload-payload-payload)");
  std::size_t start = 0;
  int lines = 0;
  while (start < text.size()) {
    const std::size_t end = text.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_TRUE(std::regex_match(text.substr(start, end - start), line));
    start = end + 1;
    ++lines;
  }
  EXPECT_EQ(lines, 800);
}

}  // namespace
