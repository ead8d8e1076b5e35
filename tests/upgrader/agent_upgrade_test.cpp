// The whole agent offered an update by the box: the update program runs,
// the agent stops cleanly when asked, and the program outlives it.
#include <signal.h>
#include <unistd.h>

#include <QFile>
#include <QFileInfo>

#include "paired_data_folder.h"
#include "process_runner.h"
#include "upgrade_fixture.h"

namespace {

using namespace std::chrono_literals;

class AgentUpgrade : public kvn_test::UpgradeTest {};

TEST_F(AgentUpgrade, TheOfferedProgramRunsAndOutlivesTheStoppedAgent) {
  startUpgradeBox("127.0.8.30");
  const QString marker = QString::fromStdString(file("marker"));
  const QString gate = QString::fromStdString(file("gate"));
  upgrades_->offer(kvn_test::markerScript(marker, 0, gate));
  kvn_test::TempDir common;
  kvn_test::pairDataFolder(common.path(), "");
  const QString program = QString::fromStdString(common.path()) + "/Zelvo/ZelvoUpdate";

  kvn_test::ProcessRunner agent(ZLV_SERVICE_BINARY);
  agent.setEnv("ZLV_COMMON_APPDATA", QString::fromStdString(common.path()));
  ASSERT_TRUE(agent.start({"--foreground", "--ip", "127.0.8.30"}));
  ASSERT_TRUE(kvn_test::waitFor(
      [&] { return upgrades_->downloads() == 1 && QFileInfo(program).isExecutable(); }, 60s));
  // The program is started right after the download.
  ::usleep(1000 * 1000);
  ASSERT_EQ(::kill(static_cast<pid_t>(agent.pid()), SIGINT), 0);
  const auto result = agent.finish(30s);
  const std::string out = result.standardOutput.toStdString();
  EXPECT_EQ(result.exitCode, 0) << out;
  EXPECT_NE(out.find("ZlvUpdate service started..."), std::string::npos) << out;
  EXPECT_FALSE(QFileInfo::exists(marker));

  // The program still runs after the agent ended: it waits for this.
  kvn_test::writeFile(gate.toStdString(), "go");
  ASSERT_TRUE(kvn_test::waitFor([&] { return QFileInfo::exists(marker); }, 30s));
  const std::string text = kvn_test::readFile(marker.toStdString());
  EXPECT_NE(text.find("args " + common.path() + "/Zelvo"), std::string::npos) << text;
  EXPECT_EQ(text.find("ppid " + std::to_string(agent.pid()) + "\n"), std::string::npos) << text;
}

}  // namespace
