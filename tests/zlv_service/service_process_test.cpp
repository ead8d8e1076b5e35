// The agent as a process: how it starts, where it logs and how it stops.
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <QDir>
#include <QFile>
#include <QString>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "core_app_environment.h"
#include "paired_data_folder.h"
#include "process_runner.h"
#include "temp_dir.h"
#include "upgrade/systeminfo.h"

namespace {

using kvn_test::ProcessRunner;
using kvn_test::TempDir;

// Receives the datagrams a service sends to $NOTIFY_SOCKET.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    bound_ = ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    timeval tv{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  }
  ~NotifySocket() { ::close(fd_); }
  bool bound() const { return bound_; }
  std::optional<std::string> receive() {
    char buffer[256];
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) return std::nullopt;
    return std::string(buffer, static_cast<std::size_t>(n));
  }

 private:
  std::string path_;
  int fd_ = -1;
  bool bound_ = false;
};

class ServiceProcess : public ::testing::Test {
 protected:
  ServiceProcess() : runner_(ZLV_SERVICE_BINARY) {
    runner_.setEnv("ZLV_COMMON_APPDATA", QString::fromStdString(dir_.path()));
  }
  // Once ready() holds, stops the foreground agent with SIGINT and waits
  // for it. Gives the event loop time to start before asking it to end; a
  // stop that comes earlier is kept until it does.
  kvn_test::ProcessResult stopWhen(const std::function<bool()>& ready) {
    EXPECT_TRUE(kvn_test::waitFor(ready, std::chrono::seconds(10)));
    ::usleep(300 * 1000);
    EXPECT_EQ(::kill(static_cast<pid_t>(runner_.pid()), SIGINT), 0);
    return runner_.finish(std::chrono::seconds(10));
  }
  std::string logOf(const std::string& prefix) const {
    return kvn_test::readFile(dir_.file("Zelvo/" + prefix + "Logs/Zelvo.log"));
  }

  TempDir dir_;
  ProcessRunner runner_;
};

TEST_F(ServiceProcess, DaemonTellsSystemdAndStopsCleanlyOnSigterm) {
  NotifySocket notify(dir_.file("notify.sock"));
  ASSERT_TRUE(notify.bound());
  kvn_test::pairDataFolder(dir_.path(), "test-");
  runner_.setEnv("NOTIFY_SOCKET", QString::fromStdString(dir_.file("notify.sock")));
  ASSERT_TRUE(runner_.start({"--prefix", "test"}));

  EXPECT_EQ(notify.receive(), "READY=1");
  ASSERT_EQ(::kill(static_cast<pid_t>(runner_.pid()), SIGTERM), 0);
  const auto result = runner_.finish(std::chrono::seconds(10));
  EXPECT_FALSE(result.timedOut);
  EXPECT_FALSE(result.crashed);
  EXPECT_EQ(result.exitCode, 0);
  EXPECT_EQ(notify.receive(), "STOPPING=1");

  const std::string log = logOf("test-");
  EXPECT_NE(log.find("Zelvo 3.6.2.2-"), std::string::npos) << log;
  EXPECT_NE(log.find(" service starting..."), std::string::npos);
  EXPECT_NE(log.find("ServiceMain stopping..."), std::string::npos);
  EXPECT_NE(log.find("- quit application\n"), std::string::npos);
  EXPECT_NE(log.find("ServiceMain stopped..."), std::string::npos);
  // Nothing of the service goes to the console.
  EXPECT_TRUE(result.standardOutput.isEmpty()) << result.standardOutput.toStdString();
}

TEST_F(ServiceProcess, ForegroundLogsPlainLinesToAPipeAndStopsOnSigint) {
  kvn_test::pairDataFolder(dir_.path(), "fg-");
  ASSERT_TRUE(runner_.start({"--foreground", "--log-level", "d", "--prefix", "fg"}));
  const auto result = stopWhen(
      [&] { return QFile::exists(QString::fromStdString(dir_.file("Zelvo/fg-WorkerFolder"))); });
  EXPECT_EQ(result.exitCode, 0);
  const std::string out = result.standardOutput.toStdString();
  EXPECT_EQ(out.find('\033'), std::string::npos) << "no colours on a pipe";
  EXPECT_NE(out.find("dd ["), std::string::npos) << out;
  EXPECT_NE(out.find("prefix used: fg"), std::string::npos);
  EXPECT_NE(out.find("Zelvo 3.6.2.2-"), std::string::npos);
  EXPECT_NE(out.find("- quit application\n"), std::string::npos);
  EXPECT_EQ(out.find("ServiceMain"), std::string::npos) << "no service host in the foreground";
  EXPECT_FALSE(QFile::exists(QString::fromStdString(dir_.file("Zelvo/fg-Logs/Zelvo.log"))));
}

TEST_F(ServiceProcess, AnAgentThatWasNeverPairedRefusesToStart) {
  const auto result = runner_.run({"--foreground"});
  EXPECT_FALSE(result.crashed);
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(result.standardOutput.contains("openDB error"))
      << result.standardOutput.toStdString();
}

// A damaged settings file is named in a clear error, kept aside as it was,
// and the agent runs on with the credentials of its database.
TEST_F(ServiceProcess, ADamagedSettingsFileIsKeptAsideAndTheAgentRunsOnTheDatabase) {
  kvn_test::pairDataFolder(dir_.path(), "bad-");
  const std::string ini = dir_.file("Zelvo/bad-zlv.ini");
  const std::string damaged = std::string("[zelvo]\nbox_ip=127.0.0.1\n\0\0\0\x9c\x01", 30);
  kvn_test::writeFile(ini, damaged);
  ASSERT_TRUE(runner_.start({"--foreground", "--prefix", "bad"}));
  const auto result =
      stopWhen([&] { return kvn_test::readFile(ini).find("cryptkey=") != std::string::npos; });
  EXPECT_EQ(result.exitCode, 0);
  const std::string out = result.standardOutput.toStdString();
  EXPECT_NE(out.find("EE ["), std::string::npos) << out;
  EXPECT_NE(out.find("the settings file '" + ini + "' is damaged (it holds binary data"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("continuing with the credentials from the database"), std::string::npos);
  EXPECT_NE(out.find("Loading credentials from DB"), std::string::npos);
  const QStringList kept = QDir(QString::fromStdString(dir_.file("Zelvo")))
                               .entryList({"bad-zlv.ini.damaged-*"}, QDir::Files);
  ASSERT_EQ(kept.size(), 1);
  EXPECT_NE(out.find("it is kept as '" + dir_.file("Zelvo/" + kept[0].toStdString()) + "'"),
            std::string::npos);
  EXPECT_EQ(kvn_test::readFile(dir_.file("Zelvo/" + kept[0].toStdString())), damaged);
  EXPECT_NE(kvn_test::readFile(ini).find("license_storage=4242"), std::string::npos);
}

TEST_F(ServiceProcess, UnknownOptionFailsWithTheParsersText) {
  const auto result = runner_.run({"--frobnicate"});
  EXPECT_EQ(result.exitCode, 1);
  EXPECT_TRUE(result.standardError.contains("frobnicate")) << result.standardError.toStdString();
}

TEST_F(ServiceProcess, UnwritableDataFolderIsAFatalLineNotACrash) {
  // A plain file where the data folder's parent should be.
  kvn_test::writeFile(dir_.file("blocked"), "");
  runner_.setEnv("ZLV_COMMON_APPDATA", QString::fromStdString(dir_.file("blocked")));
  const auto result = runner_.run({"--foreground"});
  EXPECT_FALSE(result.crashed);
  EXPECT_EQ(result.exitCode, 1);
  const std::string out = result.standardOutput.toStdString();
  EXPECT_NE(out.find("FF ["), std::string::npos) << out;
  EXPECT_NE(out.find(dir_.file("blocked")), std::string::npos) << out;
}

// A box announced by a standard mDNS responder (python3-zeroconf) in a
// network namespace of the test's own is found and printed.
TEST_F(ServiceProcess, BoxDiscoveryPrintsTheBoxesAnnouncedOnTheNetwork) {
  ProcessRunner wrapper("unshare");
  wrapper.setEnv("ZLV_COMMON_APPDATA", QString::fromStdString(dir_.path()));
  const auto result = wrapper.run(
      {"-n", "/usr/bin/python3", KVN_TEST_SOURCE_DIR "/tests/kvn_mdns/zeroconf_namespace.py",
       "--license", "4711", "--hostname", "zelvobox", "--address", "127.0.9.31", "--",
       ZLV_SERVICE_BINARY, "--box-discovery"},
      std::chrono::minutes(1));
  const QString output = result.standardOutput + result.standardError;
  if (output.contains("unshare: ") || output.contains("No module named")) {
    GTEST_SKIP() << "no network namespace or no python3-zeroconf: "
                 << output.section('\n', 0, 0).toStdString();
  }
  EXPECT_EQ(result.exitCode, 0) << output.toStdString();
  EXPECT_TRUE(output.contains("Running box discovery...")) << output.toStdString();
  EXPECT_TRUE(output.contains("License 4711 (zelvobox) is at address 127.0.9.31"))
      << output.toStdString();
  EXPECT_TRUE(output.contains("Done")) << output.toStdString();
}

TEST_F(ServiceProcess, CheckCompatPrintsTheSystemAndExitsWithTheVerdict) {
  const auto result = runner_.run({"--check-compat"});
  const bool compatible = SystemInfo::isCompatible();
  EXPECT_EQ(result.exitCode, compatible ? 0 : 1);
  const QString report = result.standardOutput + result.standardError;
  EXPECT_TRUE(report.contains("System Information:\n\t- currentCpuArchitecture: "))
      << report.toStdString();
  EXPECT_TRUE(report.contains(compatible ? "Compatible: true\n" : "Compatible: false\n"));
}

}  // namespace
