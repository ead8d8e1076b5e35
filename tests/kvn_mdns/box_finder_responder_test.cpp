// The finder against a real responder: python3-zeroconf announces a box in
// a network namespace of its own, and the test runs again inside it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <QProcess>
#include <algorithm>
#include <cstdio>
#include <mutex>
#include <thread>

#include "dns_datagrams.h"
#include "kvn_log/log.h"
#include "kvn_mdns/box_finder.h"
#include "rerun_test.h"

namespace {

using kvn_mdns::BoxFinder;
using kvn_mdns::FoundBox;
using kvn_test::RerunOutcome;
using namespace std::chrono_literals;

constexpr const char* kInsideVariable = "KVN_TEST_IN_MDNS_NAMESPACE";
constexpr const char* kLicense = "4242";
constexpr const char* kHostname = "zelvobox";
constexpr const char* kAddress = "127.0.9.21";
const kvn_mdns::BoxFinderOptions kQuick{.rounds = 20, .pause = 50ms};

// The Debian package installs the module for the system's interpreter,
// which need not be the first python3 on the path.
QString pythonWithZeroconf() {
  for (const QString candidate : {"/usr/bin/python3", "python3"}) {
    QProcess probe;
    probe.start(candidate, {"-c", "import zeroconf"});
    if (probe.waitForFinished(20000) && probe.exitStatus() == QProcess::NormalExit &&
        probe.exitCode() == 0)
      return candidate;
  }
  return {};
}

RerunOutcome runWithAnnouncedBox(QString* output) {
  if (qEnvironmentVariableIsSet(kInsideVariable)) return RerunOutcome::Inside;
  const QString python = pythonWithZeroconf();
  if (python.isEmpty()) {
    *output = "python3-zeroconf is not installed";
    return RerunOutcome::Skipped;
  }
  // Without root, a user namespace brings the right to set up the network.
  return kvn_test::rerunCurrentTest(
      {"unshare", ::geteuid() == 0 ? "-n" : "-rn", python,
       KVN_TEST_SOURCE_DIR "/tests/kvn_mdns/zeroconf_namespace.py", "--license", kLicense,
       "--hostname", kHostname, "--address", kAddress, "--"},
      kInsideVariable, output);
}

#define KVN_WITH_ANNOUNCED_BOX()                                       \
  do {                                                                 \
    QString rerunOutput;                                               \
    switch (runWithAnnouncedBox(&rerunOutput)) {                       \
      case RerunOutcome::Inside: break;                                \
      case RerunOutcome::Passed: return;                               \
      case RerunOutcome::Skipped:                                      \
        GTEST_SKIP() << "no zeroconf responder: "                      \
                     << rerunOutput.section('\n', 0, 0).toStdString(); \
      case RerunOutcome::Failed: FAIL() << rerunOutput.toStdString();  \
    }                                                                  \
  } while (0)

// Collects the messages the finder logs.
class LogLines {
 public:
  LogLines() {
    kvn_log::setLevel(kvn_log::Debug);
    kvn_log::setCallback([this](kvn_log::Level, const char*, const char*, int, const char* m) {
      std::lock_guard<std::mutex> lock(mutex_);
      lines_.emplace_back(m);
    });
  }
  ~LogLines() {
    kvn_log::setCallback({});
    kvn_log::setLevel(kvn_log::Info);
  }
  std::vector<std::string> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }

 private:
  std::mutex mutex_;
  std::vector<std::string> lines_;
};

TEST(BoxFinderResponder, FindsTheAnnouncedBoxOnceForTwoCallers) {
  KVN_WITH_ANNOUNCED_BOX();
  LogLines log;
  BoxFinder first(kQuick);
  BoxFinder second(kQuick);
  bool firstResult = false;
  std::thread firstCaller([&] { firstResult = first.findBoxes(); });
  std::this_thread::sleep_for(200ms);
  const auto started = std::chrono::steady_clock::now();
  const bool secondResult = second.findBoxes();
  const auto waited = std::chrono::steady_clock::now() - started;
  firstCaller.join();

  EXPECT_TRUE(firstResult);
  EXPECT_TRUE(secondResult);
  // The second caller waited for the running search instead of asking again.
  EXPECT_GE(waited, 500ms);
  const std::vector<FoundBox> expected = {{kAddress, kLicense, kHostname}};
  EXPECT_EQ(first.foundBoxes(), expected);
  EXPECT_EQ(second.foundBoxes(), expected);
  const auto lines = log.lines();
  EXPECT_EQ(std::count(lines.begin(), lines.end(), "Sending mDNS query"), 1);
  EXPECT_THAT(lines, testing::Contains("Reading mDNS replies"));
  EXPECT_THAT(lines, testing::Contains("Received 1 mDNS replies"));
}

TEST(BoxFinderResponder, DiscoveryPrintsTheBox) {
  KVN_WITH_ANNOUNCED_BOX();
  std::FILE* out = std::tmpfile();
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(kvn_mdns::runBoxDiscovery(out, kQuick), 0);
  std::rewind(out);
  std::string printed;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, out)) printed += buffer;
  std::fclose(out);
  EXPECT_EQ(printed, std::string("Running box discovery...\n") + "License " + kLicense + " (" +
                         kHostname + ") is at address " + kAddress + "\nDone\n");
}

}  // namespace
