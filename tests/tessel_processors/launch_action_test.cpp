// "launch_action" and the other queries that make the agent act: argument
// rules, what each action asks of the managers, the answers for failures
// and unknown actions, and the threads that run the work.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "handlers_fixture.h"
#include "tessel/launchactions.h"

namespace {

using namespace std::chrono_literals;
using kvn_test::HandlersTest;
using Calls = std::vector<std::pair<std::int64_t, bool>>;
using Texts = std::vector<std::pair<QString, QString>>;
using Flagged = std::vector<std::pair<QString, bool>>;

class LaunchActionTest : public HandlersTest {};

TEST_F(LaunchActionTest, BackupTakesAPositiveJobIdBeforeTheFirstSemicolonOfTheFirst32Characters) {
  EXPECT_EQ(launch("backup", "12;x"), ok());
  EXPECT_EQ(launch("backup", "15;" + QString(37, 'x')), ok());  // longer, but cut at ';'
  EXPECT_EQ(launch("backup", "7"), ok());
  EXPECT_EQ(calls_.get(calls_.added), (std::vector<std::int64_t>{12, 15, 7}));
  EXPECT_TRUE(logged("Adding backup, id: 12")) << log_.text();
  EXPECT_TRUE(logged("LaunchActionBCKThreadFn done"));

  for (const QString& bad :
       {QString(40, '1'), QString("0"), QString("-3"), QString("abc"), QString(32, '1') + ";5"}) {
    EXPECT_EQ(launch("backup", bad), failed("Action failed")) << bad.toStdString();
  }
  EXPECT_EQ(launch("backup", ""), failed("Action failed"));
  EXPECT_EQ(calls_.get(calls_.added).size(), 3u);
  EXPECT_TRUE(logged("Arguments error"));
  EXPECT_TRUE(logged("Error arguments"));
  EXPECT_TRUE(logged("Launch action failed -268505094"));  // 0xEFFEEFFA
}

TEST_F(LaunchActionTest, AManagerThatRefusesTheBackupIsLoggedOnItsThread) {
  result_ = KVN_E_ARGUMENTS;
  // The box has its answer before the manager is asked.
  EXPECT_EQ(launch("backup", "4"), ok());
  EXPECT_TRUE(logged("AddBackup error -268505094")) << log_.text();
}

TEST_F(LaunchActionTest, RestoreSplitsTargetFolderAndOperationId) {
  EXPECT_EQ(launch("restore", ";7"), ok());
  EXPECT_EQ(launch("restore", "/dir;7;more"), ok());
  EXPECT_EQ(launch("restore", "|srv|data;9"), ok());
  EXPECT_EQ(calls_.get(calls_.restorations), (Texts{{"7", ""}, {"7", "/dir"}, {"9", "/srv/data"}}));
  EXPECT_TRUE(logged("Adding restoration, id: 7 path: ORIGINAL_PATH")) << log_.text();
  EXPECT_TRUE(logged("Adding restoration, id: 7 path: /dir"));

  for (const QString& bad : {QString(""), QString("7"), QString("/dir;"), QString("/dir;;7")}) {
    EXPECT_EQ(launch("restore", bad), failed("Action failed")) << bad.toStdString();
  }
  EXPECT_EQ(calls_.get(calls_.restorations).size(), 3u);
}

TEST_F(LaunchActionTest, StopBackupStopsOneJobOrAllAndCarriesTheUpgradeIntent) {
  EXPECT_EQ(launch("stop_backup", "0"), ok());
  EXPECT_EQ(launch("stop_backup", "0", "upgrade"), ok());
  EXPECT_EQ(launch("stop_backup", "5", "upgrade"), ok());
  EXPECT_EQ(launch("stop_backup", "6", "user"), ok());
  EXPECT_EQ(calls_.get(calls_.stoppedAll), (std::vector<bool>{false, true}));
  EXPECT_EQ(calls_.get(calls_.stopped), (Calls{{5, true}, {6, false}}));
  EXPECT_TRUE(logged("Extern backup 5 stopped")) << log_.text();

  EXPECT_EQ(launch("stop_backup", ""), failed("Action failed"));
  EXPECT_TRUE(logged("Error: arguments"));
  EXPECT_EQ(launch("stop_backup", "-1"), failed("Action failed"));
  EXPECT_EQ(launch("stop_backup", "x"), failed("Action failed"));
  EXPECT_TRUE(logged("Argument error"));

  // A job that is not running is no stop to report.
  result_ = KVN_E_EXCEPTION;
  EXPECT_EQ(launch("stop_backup", "8"), ok());
  EXPECT_TRUE(logged("Error stopping backup")) << log_.text();
  EXPECT_FALSE(logged("Extern backup 8 stopped"));
}

TEST_F(LaunchActionTest, DeletionsAndStopsOfFileOperationsPassTheOperationId) {
  EXPECT_EQ(launch("delete", "op-1"), ok());
  EXPECT_EQ(launch("stop_restore", "op-2", "upgrade"), ok());
  EXPECT_EQ(launch("stop_delete", "op-3"), ok());
  EXPECT_EQ(calls_.get(calls_.deletions), (std::vector<QString>{"op-1"}));
  EXPECT_EQ(calls_.get(calls_.stoppedRestorations), (Flagged{{"op-2", true}}));
  EXPECT_EQ(calls_.get(calls_.stoppedDeletions), (Flagged{{"op-3", false}}));

  EXPECT_EQ(launch("delete", ""), failed("Action failed"));
  EXPECT_EQ(launch("stop_restore", ""), failed("Action failed"));
  EXPECT_EQ(launch("stop_delete", ""), failed("Action failed"));

  result_ = KVN_E_EXCEPTION;
  EXPECT_EQ(launch("stop_delete", "op-4"), ok());
  EXPECT_TRUE(logged("Error stopping delete 0xeffeeff9")) << log_.text();
}

TEST_F(LaunchActionTest, FacilitiesTheAgentLacksAnswerActionFailed) {
  control_.startRestoration = nullptr;
  control_.startDeletion = nullptr;
  control_.stopRestoration = nullptr;
  control_.stopDeletion = nullptr;
  control_.startUpgrade = nullptr;
  EXPECT_EQ(launch("restore", ";7"), failed("Action failed"));
  EXPECT_EQ(launch("delete", "1"), failed("Action failed"));
  EXPECT_EQ(launch("stop_restore", "1"), failed("Action failed"));
  EXPECT_EQ(launch("stop_delete", "1"), failed("Action failed"));
  EXPECT_EQ(launch("upgrade", ""), failed("Action failed"));
  EXPECT_TRUE(logged("Restoration is not available in this build")) << log_.text();
  EXPECT_TRUE(logged("Deletion is not available in this build"));
  EXPECT_TRUE(logged("Stopping a restoration is not available in this build"));
  EXPECT_TRUE(logged("Stopping a deletion is not available in this build"));
  EXPECT_TRUE(logged("Cannot start upgrade, upgrader is not initialized"));
  EXPECT_TRUE(logged("Launch action failed -268505095"));  // 0xEFFEEFF9
}

TEST_F(LaunchActionTest, UpgradeHonoursDisabledUpgradesAndTheResetArgument) {
  EXPECT_EQ(launch("upgrade", ""), ok());
  EXPECT_EQ(launch("upgrade", "reset_agent"), ok());
  EXPECT_EQ(calls_.get(calls_.upgrades), (std::vector<bool>{false, true}));

  control_.noUpgrade = true;
  EXPECT_EQ(launch("upgrade", ""), ok());
  EXPECT_EQ(calls_.get(calls_.upgrades).size(), 2u);
}

TEST_F(LaunchActionTest, UnknownActionsAndUpdateConfig) {
  EXPECT_EQ(launch("frobnicate", "1"), failed("Invalid action"));
  EXPECT_EQ(launch("", ""), failed("Invalid action"));
  EXPECT_EQ(launch("Backup", "1"), failed("Invalid action"));  // names are case-sensitive
  EXPECT_TRUE(logged("Invalid launch action frobnicate")) << log_.text();

  EXPECT_EQ(launch("update_config", "ignored"), ok());
  EXPECT_EQ(calls_.updates, 1);
}

TEST_F(LaunchActionTest, ResetAgentSetsTheFlagThenStartsTheResettingUpgrade) {
  EXPECT_EQ(answer({{"type", "reset_agent"}}), ok());
  EXPECT_EQ(calls_.get(calls_.resetFlags), (std::vector<bool>{true}));
  EXPECT_EQ(calls_.get(calls_.upgrades), (std::vector<bool>{true}));

  result_ = KVN_E_EXCEPTION;
  EXPECT_EQ(answer({{"type", "reset_agent"}}), failed("Failed to launch reset agent action"));

  resetResult_ = KVN_E_EXCEPTION;
  EXPECT_EQ(answer({{"type", "reset_agent"}}), failed("Failed to set reset agent flag"));
  EXPECT_EQ(calls_.get(calls_.upgrades).size(), 2u);  // no upgrade without the flag
}

TEST_F(LaunchActionTest, StartTaskHandsTheTaskToTheChannelAndAnswersAtOnce) {
  const QJsonObject args{{"file", "log"}};
  EXPECT_EQ(answer({{"type", "start_task"}, {"task_type", "file_upload"}, {"args", args}}), ok());
  auto started = link_.startedTasks();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].first, "file_upload");
  EXPECT_EQ(started[0].second, args);

  // A bad type is the channel's to report; the query itself went well.
  EXPECT_EQ(answer({{"type", "start_task"}, {"task_type", "nonsense"}}), ok());
  started = link_.startedTasks();
  ASSERT_EQ(started.size(), 1u);
  EXPECT_EQ(started[0].first, "nonsense");
}

TEST_F(LaunchActionTest, TheAnswerPrecedesTheWorkAndTeardownWaitsForIt) {
  std::atomic<bool> release = false;
  std::atomic<bool> done = false;
  control_.addBackup = [&](std::int64_t) {
    while (!release) std::this_thread::sleep_for(5ms);
    std::this_thread::sleep_for(100ms);
    done = true;
    return KVN_OK;
  };
  registerHandlers();
  EXPECT_EQ(answer({{"type", "launch_action"}, {"action", "backup"}, {"args", "3"}}), ok());
  EXPECT_EQ(runner_.running(), 1u);
  release = true;
  runner_.shutdown();
  EXPECT_TRUE(done);
  EXPECT_EQ(runner_.running(), 0u);

  // Once shut down, nothing new starts.
  EXPECT_EQ(answer({{"type", "launch_action"}, {"action", "backup"}, {"args", "3"}}),
            failed("Action failed"));
  EXPECT_TRUE(logged("LaunchActionBCKThreadFn refused: the agent is stopping")) << log_.text();
}

TEST(LaunchActionRunnerTest, ManyShortActionsAllRunAndEndJoined) {
  std::atomic<int> runs = 0;
  {
    LaunchActionRunner runner;
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(runner.start([&] { ++runs; }));
    ASSERT_TRUE(runner.waitIdle(10s));
    EXPECT_EQ(runner.running(), 0u);
    // A throwing action is logged and does not take the process down.
    ASSERT_TRUE(runner.start([] { throw std::runtime_error("boom"); }));
  }
  EXPECT_EQ(runs, 200);
}

}  // namespace
