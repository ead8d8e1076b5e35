// The upgrader against the simulated box: the version it sends, the
// download of the update program, the stops before the program starts, and
// the program running detached from the agent.
#include <sys/stat.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <vector>

#include "process_runner.h"
#include "upgrade/updatecheck.h"
#include "upgrade/upgrader.h"
#include "upgrade_fixture.h"

namespace {

using namespace std::chrono_literals;

// Records what would have been started.
class RecordingLauncher : public UpdateLauncher {
 public:
  explicit RecordingLauncher(std::vector<std::string>* events) : events_(events) {}
  void removeLeftover() override { events_->push_back("remove leftover"); }
  bool start(const QStringList& command) override {
    events_->push_back("start " + command.join(' ').toStdString());
    return true;
  }

 private:
  std::vector<std::string>* events_;
};

class UpgraderTest : public kvn_test::UpgradeTest {
 protected:
  UpgraderContext context(std::vector<std::string>* events, bool realLauncher = false) {
    UpgraderContext c;
    c.credentials = credentials_.get();
    c.baseDir = QDir(QString::fromStdString(dir_.path()));
    c.version = {3, 6, 2, 2};
    c.network.probeTimeoutMs = 2000;
    c.pause = 0ms;
    c.system.currentCpuArchitecture = "x86_64";
    c.system.kernelType = "linux";
    c.system.productType = "debian";
    c.system.productVersion = "12";
    c.stops.runningBackups = [] { return 2u; };
    c.stops.stopBackups = [events] { events->push_back("stop backups"); };
    c.stops.runningFileOperations = [] { return 1u; };
    c.stops.stopFileOperations = [events] { events->push_back("stop file operations"); };
    c.stops.refuseNew = [events] { events->push_back("refuse new"); };
    if (realLauncher) {
      c.launcher = std::make_unique<DetachedUpdateLauncher>();
    } else {
      c.launcher = std::make_unique<RecordingLauncher>(events);
    }
    return c;
  }
  // One run of the task on the pool, as the timer would start it.
  void runOnce(Upgrader& upgrader) {
    bool done = false;
    QObject::connect(&upgrader, &PeriodicTask::taskDone, [&] { done = true; });
    upgrader.runTaskAsync();
    ASSERT_TRUE(kvn_test::waitFor(
        [&] {
          QCoreApplication::processEvents();
          return done;
        },
        60s));
  }
  QString program() const { return QString::fromStdString(file("ZelvoUpdate")); }
};

TEST_F(UpgraderTest, NoUpdateAnAnswerThatIsNotTextAndTheVersionSent) {
  startUpgradeBox("127.0.8.10");
  const AgentVersion version{3, 6, 2, 2};
  EXPECT_FALSE(checkAndDownloadUpdate(program(), false, version, *credentials_));
  upgrades_->setAnswerNotText(true);
  upgrades_->offer(QByteArray("#!/bin/sh\n"));
  EXPECT_FALSE(checkAndDownloadUpdate(program(), false, version, *credentials_));
  upgrades_->setAnswerNotText(false);
  EXPECT_TRUE(checkAndDownloadUpdate(program(), true, version, *credentials_));

  const auto checks = upgrades_->checks();
  ASSERT_EQ(checks.size(), 3);
  EXPECT_EQ(checks[0].major, 3);
  EXPECT_EQ(checks[0].minor, 6);
  EXPECT_EQ(checks[0].patch, 2);
  EXPECT_EQ(checks[0].build, 2);
  EXPECT_EQ(checks[0].platform, "Linux");
  EXPECT_EQ(checks[2].major + checks[2].minor + checks[2].patch + checks[2].build, 0)
      << "a reinstall asks with 0.0.0.0";
  EXPECT_EQ(upgrades_->downloads(), 1);
  EXPECT_EQ(box_->record().operations().at(0).name, "CLTVER_INITIAL");
  struct stat st {};
  ASSERT_EQ(::stat(QFile::encodeName(program()).constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(QFile(program()).size(), 10);
}

TEST_F(UpgraderTest, BackupsAndFileOperationsStopBeforeTheProgramStarts) {
  startUpgradeBox("127.0.8.11");
  upgrades_->offer(QByteArray("#!/bin/sh\nexit 0\n"));
  std::vector<std::string> events;
  Upgrader upgrader(context(&events));
  runOnce(upgrader);
  const std::string start = "start " + program().toStdString() + " " +
                            QDir(QString::fromStdString(dir_.path())).path().toStdString();
  EXPECT_EQ(events, (std::vector<std::string>{"remove leftover", "stop backups",
                                              "stop file operations", start, "refuse new"}))
      << log_.text();
  EXPECT_TRUE(logged("Upgrader initialized with update path " + program().toStdString()));
  EXPECT_TRUE(logged("Running upgrader task..."));
}

TEST_F(UpgraderTest, AnEmptyProgramIsSkippedAndAnIncompatibleSystemIsNotAsked) {
  startUpgradeBox("127.0.8.12");
  upgrades_->offer(QByteArray());
  std::vector<std::string> events;
  {
    Upgrader upgrader(context(&events));
    runOnce(upgrader);
  }
  EXPECT_TRUE(logged("Skipping service update (invalid update file)")) << log_.text();
  EXPECT_EQ(std::count_if(events.begin(), events.end(),
                          [](const std::string& e) { return e.starts_with("start"); }),
            0);

  auto old = context(&events);
  old.system.currentCpuArchitecture = "i386";
  Upgrader upgrader(std::move(old));
  runOnce(upgrader);
  EXPECT_TRUE(
      logged("Automatic upgrades disabled: current system is not compatible (debian 12 i386)"));
  EXPECT_EQ(upgrades_->checks().size(), 1);

  upgrader.requestReinstall();
  runOnce(upgrader);
  EXPECT_TRUE(logged("Running upgrader task... (reinstall requested)"));
  ASSERT_EQ(upgrades_->checks().size(), 2);
  EXPECT_EQ(upgrades_->checks()[1].major, 0);
}

TEST_F(UpgraderTest, TheProgramRunsDetachedWithItsArgumentsAndOutlivesTheUpgrader) {
  startUpgradeBox("127.0.8.13");
  const QString marker = QString::fromStdString(file("marker"));
  upgrades_->offer(kvn_test::markerScript(marker));
  std::vector<std::string> events;
  {
    Upgrader upgrader(context(&events, true));
    runOnce(upgrader);
  }
  // The upgrader is gone and the program has not written yet.
  EXPECT_FALSE(QFileInfo::exists(marker));
  EXPECT_TRUE(logged("ZlvUpdate service started...")) << log_.text();
  ASSERT_TRUE(kvn_test::waitFor([&] { return QFileInfo::exists(marker); }, 30s));
  const std::string text = kvn_test::readFile(marker.toStdString());
  EXPECT_NE(text.find("args " + dir_.path()), std::string::npos) << text;
  EXPECT_EQ(text.find("ppid " + std::to_string(::getpid()) + "\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("sid " + std::to_string(::getsid(0)) + "\n"), std::string::npos) << text;
}

TEST(DetachedUpdateLauncher, AProgramThatCannotStartIsReported) {
  kvn_test::LogCapture log;
  DetachedUpdateLauncher launcher;
  EXPECT_FALSE(launcher.start({"/nonexistent/ZelvoUpdate"}));
  EXPECT_NE(log.text().find("Failed to start ZlvUpdate service 2"), std::string::npos)
      << log.text();
}

}  // namespace
