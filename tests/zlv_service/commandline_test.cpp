#include <QCoreApplication>
#include <gtest/gtest.h>

#include "commandline.h"

namespace {

Options parse(QStringList args) {
  args.prepend("zlv_service");
  CommandLine commandLine;
  QString error;
  auto options = commandLine.parse(args, &error);
  EXPECT_TRUE(options.has_value()) << error.toStdString();
  return options.value_or(Options{});
}

TEST(CommandLine, HelpListsEveryOptionWithItsText) {
  const QString help = CommandLine().helpText();
  const char* expected[] = {
      "-f, --foreground", "Run in foreground", "--no-upgrade", "Disable upgrade mechanism",
      "-L, --log-level <log_level>", "Set log level", "--register <boxIP>",
      "Register agent on the box", "--nas", "Register agent on the box as nas Agent",
      "-j, --max-parrallel-backup <count>", "Max backup to be run in parralel",
      "-s, --prefix <prefix>", "Env prefix", "--info-license", "Box license", "--info-device",
      "Device license", "--box-discovery", "Run box discovery",
      "-t, --box-test-seconds <seconds>", "Run box test for x sec", "--ip <address>",
      "Override box IP address", "--check-compat", "Compatibility check",
      "--retention-unit <seconds>", "Set retention unit to X seconds", "--retention-delay <seconds>",
      "--retention-interval <seconds>", "default: 8 hours", "-h, --help", "-v, --version"};
  for (const char* text : expected) EXPECT_TRUE(help.contains(text)) << text;
}

TEST(CommandLine, NumericValuesFallBackAsTheAgentExpects) {
  EXPECT_EQ(parse({"--max-parrallel-backup", "-2"}).maxParallelBackups, 0);
  EXPECT_EQ(parse({"-j", "abc"}).maxParallelBackups, 0);
  EXPECT_EQ(parse({"-j", "6"}).maxParallelBackups, 6);
  EXPECT_EQ(parse({}).maxParallelBackups, 0);

  const Options boxTest = parse({"--box-test-seconds", "abc"});
  EXPECT_TRUE(boxTest.boxTest);
  EXPECT_EQ(boxTest.boxTestSeconds, 3);
  EXPECT_TRUE(boxTest.foreground) << "the box test always runs in the foreground";
  EXPECT_EQ(parse({"-t", "-4"}).boxTestSeconds, 3);
  EXPECT_EQ(parse({"-t", "10"}).boxTestSeconds, 10);
  EXPECT_FALSE(parse({}).foreground);
}

TEST(CommandLine, RetentionValuesThatDoNotParseKeepTheDefault) {
  const Options o = parse({"--retention-unit", "60", "--retention-delay", "1e3",
                           "--retention-interval", "-5"});
  EXPECT_EQ(o.retentionUnit, 60);
  EXPECT_FALSE(o.retentionDelay.has_value());
  EXPECT_EQ(o.retentionInterval, -5);
}

TEST(CommandLine, ValuesAndFlagsAreCarriedThrough) {
  const Options o = parse({"-f", "--no-upgrade", "-L", "debug", "--register", "10.1.2.3", "--nas",
                           "-s", "test", "--ip", "10.9.9.9", "--info-license"});
  EXPECT_TRUE(o.foreground);
  EXPECT_TRUE(o.noUpgrade);
  EXPECT_EQ(o.logLevel, QString("debug"));
  EXPECT_EQ(o.registerBoxIp, "10.1.2.3");
  EXPECT_TRUE(o.nas);
  EXPECT_EQ(o.prefix, "test");
  EXPECT_EQ(o.boxIpOverride, QByteArray("10.9.9.9"));
  EXPECT_TRUE(o.infoLicense);
  EXPECT_FALSE(o.infoDevice);
}

TEST(CommandLine, UnknownOptionIsAnError) {
  CommandLine commandLine;
  QString error;
  EXPECT_FALSE(commandLine.parse({"zlv_service", "--frobnicate"}, &error).has_value());
  EXPECT_TRUE(error.contains("frobnicate")) << error.toStdString();
}

}  // namespace
