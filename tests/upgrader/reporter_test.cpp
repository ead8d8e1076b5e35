// The hourly report as the box receives it.
#include <QJsonObject>
#include <QSysInfo>

#include "process_runner.h"
#include "upgrade/reporter.h"
#include "upgrade_fixture.h"

namespace {

using namespace std::chrono_literals;

class ReporterTest : public kvn_test::UpgradeTest {};

TEST_F(ReporterTest, TheBoxReceivesEveryFieldWithTheLocalOffset) {
  startUpgradeBox("127.0.8.20");
  const QDateTime started = QDateTime::currentDateTimeUtc().addSecs(-3600);
  ZlvNetworkSettings network;
  network.probeTimeoutMs = 2000;
  {
    Reporter reporter({credentials_.get(), "3.6.2.2-test", started, network});
    reporter.runTaskAsync();
    ASSERT_TRUE(kvn_test::waitFor([&] { return !upgrades_->reports().isEmpty(); }, 60s))
        << log_.text();
  }
  const QJsonObject report = upgrades_->reports().front();
  EXPECT_EQ(report["currentVersion"].toString(), "3.6.2.2-test");
  EXPECT_EQ(report["machineHostName"].toString(), QSysInfo::machineHostName());
  EXPECT_EQ(report["currentCpuArchitecture"].toString(), QSysInfo::currentCpuArchitecture());
  EXPECT_EQ(report["kernelType"].toString(), "linux");
  EXPECT_EQ(report["productType"].toString(), QSysInfo::productType());
  EXPECT_EQ(report["productVersion"].toString(), QSysInfo::productVersion());
  EXPECT_FALSE(report["prettyProductName"].toString().isEmpty());
  EXPECT_FALSE(report["kernelVersion"].toString().isEmpty());
  EXPECT_EQ(box_->record().operations().at(0).name, "CLTINFO_INITIAL");

  const QDateTime startedAt = QDateTime::fromString(report["startedAt"].toString(), Qt::ISODate);
  const QDateTime now =
      QDateTime::fromString(report["currentClientDateTime"].toString(), Qt::ISODate);
  EXPECT_EQ(startedAt.toSecsSinceEpoch(), started.toSecsSinceEpoch());
  EXPECT_LT(qAbs(now.secsTo(QDateTime::currentDateTimeUtc())), 60);
  const int offset = QDateTime::currentDateTime().offsetFromUtc();
  EXPECT_EQ(startedAt.offsetFromUtc(), offset);
  EXPECT_EQ(now.offsetFromUtc(), offset);
}

TEST(ReporterJson, TimesCarryTheOffsetOfLocalTimeAtTheReport) {
  // Kolkata: +05:30 all year, no daylight saving to race with.
  qputenv("TZ", "Asia/Kolkata");
  ::tzset();
  const QDateTime now = QDateTime::fromSecsSinceEpoch(1'800'000'000, Qt::UTC);
  const QJsonObject report = Reporter::buildReport("v", now.addSecs(-60), now);
  qunsetenv("TZ");
  ::tzset();
  EXPECT_EQ(report["currentClientDateTime"].toString(), "2027-01-15T13:30:00+05:30");
  EXPECT_EQ(report["startedAt"].toString(), "2027-01-15T13:29:00+05:30");
}

}  // namespace
