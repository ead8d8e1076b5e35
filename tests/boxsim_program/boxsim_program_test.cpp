// The simulator as a program, with the agent as a process against it:
// pairing over HTTPS, then the box load test on the paired box.
#include <gtest/gtest.h>

#include <QProcess>
#include <QString>

#include "boxsim_process.h"
#include "crypto_test_support.h"
#include "process_runner.h"
#include "temp_dir.h"

namespace {

// The agent as a child process, in its own data folder.
class Agent : public kvn_test::ProcessRunner {
 public:
  explicit Agent(const kvn_test::TempDir& data) : ProcessRunner(ZLV_SERVICE_BINARY) {
    setEnv("ZLV_COMMON_APPDATA", QString::fromStdString(data.path()));
  }
};

using kvn_test::ProcessRunner;
using kvn_test::runTool;

class Boxsim : public kvn_test::BoxsimProcess {
 public:
  explicit Boxsim(const QStringList& arguments) : BoxsimProcess(BOXSIM_BINARY, arguments) {}
};

TEST(BoxsimProgram, PairsAnAgentAndAnswersItsBoxTest) {
  Boxsim box({"--listen", "127.0.0.81", "--license", "5005", "--device", "23", "--datanode",
              "127.0.0.82:7000", "--cryptkey", "a1b2c3d4e5f60718293a4b5c6d7e8f90"});
  ASSERT_TRUE(box.ready()) << box.stop().toStdString();

  // An independent TLS client sees the pairing page and nothing else.
  const std::string page = runTool(
      "curl -sk 'https://127.0.0.81/zelvo/php/scripts/"
      "register_agent.php?device_name=x&box=0&version=Windows_3.6.2.2'");
  EXPECT_EQ(page,
            "{\"cryptkey\":\"a1b2c3d4e5f60718293a4b5c6d7e8f90\",\"device\":23,"
            "\"dn\":\"127.0.0.82:7000\",\"license_key\":5005,\"status\":null}");
  EXPECT_EQ(runTool("curl -sk -o /dev/null -w '%{http_code}' https://127.0.0.81/other"), "404");

  kvn_test::TempDir data;
  Agent agent(data);
  const auto registered = agent.run({"--register", "127.0.0.81"}, std::chrono::seconds(180));
  const std::string log = kvn_test::readFile(data.file("Zelvo/Logs/Zelvo.log"));
  ASSERT_EQ(registered.exitCode, 0) << log;
  EXPECT_NE(log.find("Agent registered on box 127.0.0.81"), std::string::npos) << log;
  const std::string ini = kvn_test::readFile(data.file("Zelvo/zlv.ini"));
  EXPECT_NE(ini.find("datanode=127.0.0.82:7000"), std::string::npos) << ini;
  EXPECT_NE(ini.find("license_storage=5005"), std::string::npos) << ini;

  const auto tested = agent.run({"--box-test-seconds", "2"}, std::chrono::seconds(180));
  const std::string testLog = tested.standardOutput.toStdString();
  EXPECT_EQ(tested.exitCode, 0) << testLog;
  EXPECT_NE(testLog.find("Running BoxScalabilityTest task..."), std::string::npos) << testLog;
  EXPECT_EQ(testLog.find("EE "), std::string::npos) << testLog;

  const std::string boxLog = box.stop().toStdString();
  EXPECT_NE(
      boxLog.find("boxsim: pairing request /zelvo/php/scripts/register_agent.php?device_name="),
      std::string::npos)
      << boxLog;
  EXPECT_NE(boxLog.find("boxsim: box test of 2 s"), std::string::npos) << boxLog;
  EXPECT_NE(boxLog.find("boxsim: box test done"), std::string::npos) << boxLog;
  EXPECT_EQ(box.exitCode(), 0) << "stopped cleanly on SIGTERM";
}

TEST(BoxsimProgram, BoxTestAgainstABoxThatIsGoneFails) {
  kvn_test::TempDir data;
  Agent agent(data);
  {
    Boxsim box({"--listen", "127.0.0.83"});
    ASSERT_TRUE(box.ready()) << box.stop().toStdString();
    ASSERT_EQ(agent.run({"--register", "127.0.0.83"}, std::chrono::seconds(180)).exitCode, 0)
        << kvn_test::readFile(data.file("Zelvo/Logs/Zelvo.log")) << box.stop().toStdString();
  }
  // No box and no datanode: the test cannot run, and the exit code says so.
  const auto result = agent.run({"--box-test-seconds", "1"}, std::chrono::seconds(180));
  const std::string out = result.standardOutput.toStdString();
  EXPECT_EQ(result.exitCode, 1) << out;
  EXPECT_NE(out.find("cannot connect to the Box(127.0.0.83): 0"), std::string::npos) << out;
  EXPECT_NE(out.find("cannot lookup address for name ''"), std::string::npos) << out;
  EXPECT_NE(out.find("ConnectToServer error: 0xeffeeffa"), std::string::npos) << out;
}

TEST(BoxsimProgram, RefusesBadArguments) {
  ProcessRunner boxsim(BOXSIM_BINARY);
  const auto help = boxsim.run({"--help"});
  EXPECT_EQ(help.exitCode, 0);
  EXPECT_TRUE(help.standardOutput.contains("--https-port")) << help.standardOutput.toStdString();
  EXPECT_EQ(boxsim.run({}).exitCode, 2);
  EXPECT_EQ(boxsim.run({"--listen", "127.0.0.84", "--cryptkey", "xyz"}).exitCode, 2);
  EXPECT_EQ(boxsim.run({"--listen", "127.0.0.84", "--license", "0"}).exitCode, 2);
}

}  // namespace
