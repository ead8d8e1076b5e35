// The hourly client-configuration task: the datanode the box names reaches
// the credentials store, with the box port when the answer has none.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSettings>
#include <QThreadPool>

#include "job_config_fixture.h"
#include "jobconfig/configupdater.h"
#include "process_runner.h"

namespace {

using namespace std::chrono_literals;

class ConfigUpdaterTest : public kvn_test::JobConfigTest {
 protected:
  // Runs the task once, delivering its signal to the credentials on this
  // thread; true once the task has finished its run.
  bool runOnce(Credentials& agent) {
    const bool finished = runTask(agent);
    // Ends the pool's threads, and with them OpenSSL's per-thread state.
    QThreadPool::globalInstance()->waitForDone();
    return finished;
  }
  bool runTask(Credentials& agent) {
    ConfigUpdater updater(agent, context().network);
    QObject::connect(&updater, &ConfigUpdater::newDatanode, &agent, &Credentials::saveNewDatanode,
                     Qt::QueuedConnection);
    bool done = false;
    QObject::connect(&updater, &PeriodicTask::taskDone, [&] { done = true; });
    updater.startPeriodic(ConfigUpdater::kIntervalMs);
    const bool finished = kvn_test::waitFor(
        [&] {
          QCoreApplication::processEvents();
          return done;
        },
        60s);
    QCoreApplication::processEvents();  // the queued datanode, if any
    return finished;
  }
};

TEST_F(ConfigUpdaterTest, TheDatanodeReachesTheCredentialsWithTheBoxPortWhenNoneIsGiven) {
  boxsim::JobConfigScript script;
  script.datanodeHost = "10.0.0.5";
  script.datanodePort.reset();
  startBox("127.0.0.130", script);
  Credentials& agent = credentials("127.0.0.130");

  ASSERT_TRUE(runOnce(agent)) << log_.text();
  EXPECT_EQ(agent.datanode(), "10.0.0.5:6670");
  EXPECT_EQ(QSettings(iniPath(), QSettings::IniFormat).value("zelvo/datanode").toString(),
            "10.0.0.5:6670");
  EXPECT_EQ(box_->record().operations().at(0).name, "CLTCFG_INITIAL");
  EXPECT_TRUE(box_->record().notes().contains("client config request"));

  script.datanodePort = 7000;
  service_->setScript(script);
  ASSERT_TRUE(runOnce(agent));
  EXPECT_EQ(agent.datanode(), "10.0.0.5:7000");
}

TEST_F(ConfigUpdaterTest, AnUnusableAnswerKeepsTheStoredDatanode) {
  boxsim::JobConfigScript script;
  script.datanodeHost = "";
  startBox("127.0.0.131", script);
  Credentials& agent = credentials("127.0.0.131", "dn.example:7000");

  ASSERT_TRUE(runOnce(agent));
  EXPECT_EQ(agent.datanode(), "dn.example:7000");
  EXPECT_TRUE(logged("Error receiving client config packet: invalid datanode address ''"))
      << log_.text();

  script.datanodeHost = "10.0.0.5";
  script.datanodePort = 70000;
  service_->setScript(script);
  ASSERT_TRUE(runOnce(agent));
  EXPECT_EQ(agent.datanode(), "dn.example:7000");
}

}  // namespace
