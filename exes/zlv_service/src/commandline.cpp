#include "commandline.h"

#include <QCoreApplication>

namespace {

QString tr(const char* text) { return QCoreApplication::translate("main", text); }

const char* const kForeground = "foreground";
const char* const kNoUpgrade = "no-upgrade";
const char* const kLogLevel = "log-level";
const char* const kRegister = "register";
const char* const kNas = "nas";
// The misspelling is part of the agent's command line; installers use it.
const char* const kMaxParallel = "max-parrallel-backup";
const char* const kPrefix = "prefix";
const char* const kInfoLicense = "info-license";
const char* const kInfoDevice = "info-device";
const char* const kBoxDiscovery = "box-discovery";
const char* const kBoxTestSeconds = "box-test-seconds";
const char* const kIp = "ip";
const char* const kCheckCompat = "check-compat";
const char* const kRetentionUnit = "retention-unit";
const char* const kRetentionDelay = "retention-delay";
const char* const kRetentionInterval = "retention-interval";

QCommandLineOption option(const QStringList& names, const char* help, const char* valueName = nullptr) {
  return valueName ? QCommandLineOption(names, tr(help), tr(valueName)) : QCommandLineOption(names, tr(help));
}

}  // namespace

CommandLine::CommandLine() {
  parser_.setApplicationDescription(
      "Zelvo Agent\n\n"
      "Runs as the systemd service zelvo (systemctl start zelvo), or with --foreground in a\n"
      "terminal. Data folder: $ZLV_COMMON_APPDATA/Zelvo, by default /var/lib/Zelvo.\n"
      "Snapshot libraries: beside the program, then " ZLV_LIBRARY_DIR ".");
  parser_.addHelpOption();
  parser_.addVersionOption();
  parser_.addOption(option({"f", kForeground}, "Run in foreground"));
  parser_.addOption(option({kNoUpgrade}, "Disable upgrade mechanism"));
  parser_.addOption(option({"L", kLogLevel}, "Set log level", "log_level"));
  parser_.addOption(option({kRegister}, "Register agent on the box", "boxIP"));
  parser_.addOption(option({kNas}, "Register agent on the box as nas Agent"));
  parser_.addOption(option({"j", kMaxParallel}, "Max backup to be run in parralel", "count"));
  parser_.addOption(option({"s", kPrefix}, "Env prefix", "prefix"));
  parser_.addOption(option({kInfoLicense}, "Box license"));
  parser_.addOption(option({kInfoDevice}, "Device license"));
  parser_.addOption(option({kBoxDiscovery}, "Run box discovery"));
  parser_.addOption(option({"t", kBoxTestSeconds}, "Run box test for x sec", "seconds"));
  parser_.addOption(option({kIp}, "Override box IP address", "address"));
  parser_.addOption(option({kCheckCompat}, "Compatibility check"));
  parser_.addOption(option({kRetentionUnit},
                           "Set retention unit to X seconds\n(remove file from box N*X seconds after it "
                           "is deleted from agent)\ndefault: 1 day",
                           "seconds"));
  parser_.addOption(option({kRetentionDelay},
                           "Set delay for retention check to X seconds after agent startup\ndefault: 1 "
                           "minute",
                           "seconds"));
  parser_.addOption(option({kRetentionInterval},
                           "Set retention check interval to X seconds after last check\ndefault: 8 hours",
                           "seconds"));
}

Options CommandLine::process(const QCoreApplication& app) {
  parser_.process(app);
  return collect();
}

std::optional<Options> CommandLine::parse(const QStringList& arguments, QString* error) {
  if (!parser_.parse(arguments)) {
    if (error) *error = parser_.errorText();
    return std::nullopt;
  }
  return collect();
}

int CommandLine::parseMaxParallelBackups(const QString& value) {
  bool ok = false;
  const int n = value.toInt(&ok);
  return ok && n > 0 ? n : 0;
}

int CommandLine::parseBoxTestSeconds(const QString& value) {
  bool ok = false;
  const int n = value.toInt(&ok);
  return ok && n >= 0 ? n : 3;
}

std::optional<qint64> CommandLine::parseSeconds(const QString& value) {
  bool ok = false;
  const qint64 n = value.toLongLong(&ok, 10);
  if (!ok) return std::nullopt;
  return n;
}

Options CommandLine::collect() const {
  Options o;
  o.checkCompat = parser_.isSet(kCheckCompat);
  o.boxTest = parser_.isSet(kBoxTestSeconds);
  if (o.boxTest) o.boxTestSeconds = parseBoxTestSeconds(parser_.value(kBoxTestSeconds));
  o.foreground = o.boxTest || parser_.isSet(kForeground);
  if (parser_.isSet(kLogLevel)) o.logLevel = parser_.value(kLogLevel);
  o.registerBoxIp = parser_.value(kRegister);
  o.noUpgrade = parser_.isSet(kNoUpgrade);
  o.nas = parser_.isSet(kNas);
  o.maxParallelBackups = parseMaxParallelBackups(parser_.value(kMaxParallel));
  o.prefix = parser_.value(kPrefix);
  o.infoLicense = parser_.isSet(kInfoLicense);
  o.infoDevice = parser_.isSet(kInfoDevice);
  o.boxDiscovery = parser_.isSet(kBoxDiscovery);
  if (parser_.isSet(kIp)) o.boxIpOverride = parser_.value(kIp).toLatin1();
  if (parser_.isSet(kRetentionUnit)) o.retentionUnit = parseSeconds(parser_.value(kRetentionUnit));
  if (parser_.isSet(kRetentionDelay)) o.retentionDelay = parseSeconds(parser_.value(kRetentionDelay));
  if (parser_.isSet(kRetentionInterval))
    o.retentionInterval = parseSeconds(parser_.value(kRetentionInterval));
  return o;
}
