// "update_config" through the launch action with the real update thread:
// a request that comes while a pass runs makes the same thread run again,
// never a second thread beside it.
#include <gtest/gtest.h>

#include <condition_variable>
#include <set>
#include <thread>

#include "connection/credentials.h"
#include "database/agentdatabase.h"
#include "handlers_fixture.h"
#include "jobconfig/updateaction.h"
#include "process_runner.h"

namespace {

using namespace std::chrono_literals;

class UpdateConfigTest : public kvn_test::HandlersTest {
 protected:
  void SetUp() override {
    auto& database = kvn_agent_database::AgentDatabase::instance();
    const QString path = QString::fromStdString(dir_.file("zlv.db"));
    ASSERT_TRUE(database.createDB(path));
    ASSERT_TRUE(database.openDB(path));
    // Nobody listens on these: each pass fails fast and waits for the next
    // request instead of the retry interval.
    kvn_test::writeFile(dir_.file("zlv.ini"),
                        "[zelvo]\nbox_ip=127.0.3.10\ncryptkey=00112233445566778899aabbccddeeff\n"
                        "datanode=127.0.3.11:1\nlicense_agent=17\nlicense_storage=4242\n");
    credentials_ = std::make_unique<Credentials>(QString::fromStdString(dir_.file("zlv.ini")));
    ASSERT_TRUE(credentials_->load());
  }

  kvn_test::TempDir dir_;
  std::unique_ptr<Credentials> credentials_;
};

TEST_F(UpdateConfigTest, TwoRequestsInQuickSuccessionRunTwoPassesOneAfterTheOther) {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::thread::id> passThreads;
  bool secondAsked = false;
  int inside = 0;
  int mostInside = 0;
  JobConfigUpdateAction update(
      [&] {
        std::unique_lock lock(mutex);
        passThreads.push_back(std::this_thread::get_id());
        mostInside = std::max(mostInside, ++inside);
        changed.notify_all();
        // The first pass lasts until the second request has come.
        changed.wait_for(lock, 10s, [&] { return secondAsked; });
        --inside;
        JobConfigContext context;
        context.credentials = credentials_.get();
        context.network.probeTimeoutMs = 2000;
        return context;
      },
      std::chrono::hours(1));
  control_.updateConfiguration = [&] { return update.launch(); };

  EXPECT_EQ(launch("update_config", ""), ok());
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, 10s, [&] { return passThreads.size() == 1; }));
  }
  EXPECT_EQ(launch("update_config", ""), ok());
  EXPECT_TRUE(logged("LaunchActionUPDATEThreadFn is already running")) << log_.text();
  {
    std::lock_guard lock(mutex);
    secondAsked = true;
    changed.notify_all();
  }
  ASSERT_TRUE(kvn_test::waitFor([&] { return update.passes() == 2; }, 60s)) << log_.text();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(update.passes(), 2);
  update.stop();

  std::lock_guard lock(mutex);
  ASSERT_EQ(passThreads.size(), 2u);
  EXPECT_EQ(passThreads[0], passThreads[1]);
  EXPECT_EQ(mostInside, 1);
}

}  // namespace
