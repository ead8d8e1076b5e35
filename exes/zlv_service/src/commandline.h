// The agent's command line: the options it declares and the values the
// rest of the start-up reads from them.
#pragma once

#include <QByteArray>
#include <QCommandLineParser>
#include <QString>
#include <QStringList>
#include <optional>

class QCoreApplication;

struct Options {
  bool foreground = false;
  bool noUpgrade = false;
  bool nas = false;
  std::optional<QString> logLevel;
  QString registerBoxIp;
  QString prefix;
  // 0 when absent, not a number or negative.
  int maxParallelBackups = 0;
  bool infoLicense = false;
  bool infoDevice = false;
  bool boxDiscovery = false;
  bool boxTest = false;
  // 3 when the value is not a number or negative.
  int boxTestSeconds = 3;
  std::optional<QByteArray> boxIpOverride;
  bool checkCompat = false;
  // Unparsable values leave these empty, so the defaults stay.
  std::optional<qint64> retentionUnit;
  std::optional<qint64> retentionDelay;
  std::optional<qint64> retentionInterval;
};

class CommandLine {
 public:
  CommandLine();

  // For the running program: prints help or version, or an error for an
  // unknown option, and exits as the framework does.
  Options process(const QCoreApplication& app);

  // For callers that must not exit: returns nothing and sets error on a
  // parse error.
  std::optional<Options> parse(const QStringList& arguments, QString* error = nullptr);

  QString helpText() const { return parser_.helpText(); }

  static int parseMaxParallelBackups(const QString& value);
  static int parseBoxTestSeconds(const QString& value);
  static std::optional<qint64> parseSeconds(const QString& value);

 private:
  Options collect() const;

  QCommandLineParser parser_;
};
