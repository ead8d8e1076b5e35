#include "upgrade/systeminfo.h"

#include <QStringList>
#include <QSysInfo>
#include <optional>

namespace {

struct VersionNumber {
  std::optional<int> major;
  std::optional<int> minor;
};

// "12.4" gives 12 and 4; a segment that is not a number ends the parse.
VersionNumber parseVersion(const QString& text) {
  VersionNumber version;
  const QStringList segments = text.split(u'.');
  bool ok = false;
  const int major = segments.value(0).toInt(&ok);
  if (!ok) return version;
  version.major = major;
  const int minor = segments.value(1).toInt(&ok);
  if (ok && segments.size() > 1) version.minor = minor;
  return version;
}

bool windowsCompatible(const QString& productVersion) {
  if (productVersion.startsWith("server")) {
    bool ok = false;
    const int year = productVersion.mid(6, 4).toInt(&ok);
    return ok && year >= 2016;
  }
  const auto major = parseVersion(productVersion).major;
  return major && *major >= 10 && *major < 2000;
}

bool linuxCompatible(const QString& productType, const QString& productVersion) {
  const auto major = parseVersion(productVersion).major;
  if (!major) return false;
  if (productType == "ubuntu") return *major > 19;
  if (productType == "debian") return *major > 7;
  if (productType == "rhel" || productType == "centos" || productType == "rocky") return *major > 6;
  if (productType == "fedora") return *major > 34;
  return false;
}

bool darwinCompatible(const QString& productVersion) {
  const VersionNumber version = parseVersion(productVersion);
  if (!version.major) return false;
  return *version.major > 10 || (*version.major == 10 && version.minor.value_or(0) > 14);
}

void printLine(std::FILE* out, const char* format, const QString& value) {
  std::fprintf(out, format, value.toLocal8Bit().constData());
}

}  // namespace

SystemFacts SystemFacts::current() {
  SystemFacts facts;
  facts.buildAbi = QSysInfo::buildAbi();
  facts.buildCpuArchitecture = QSysInfo::buildCpuArchitecture();
  facts.currentCpuArchitecture = QSysInfo::currentCpuArchitecture();
  facts.kernelType = QSysInfo::kernelType();
  facts.kernelVersion = QSysInfo::kernelVersion();
  facts.prettyProductName = QSysInfo::prettyProductName();
  facts.productType = QSysInfo::productType();
  facts.productVersion = QSysInfo::productVersion();
  return facts;
}

bool SystemInfo::isCompatible(const SystemFacts& facts) {
  if (facts.currentCpuArchitecture != "x86_64") return false;
  if (facts.kernelType == "winnt") return windowsCompatible(facts.productVersion);
  if (facts.kernelType == "linux") return linuxCompatible(facts.productType, facts.productVersion);
  if (facts.kernelType == "darwin") return darwinCompatible(facts.productVersion);
  return false;
}

QString SystemInfo::describe(const SystemFacts& facts) {
  return QStringList{facts.productType, facts.productVersion, facts.currentCpuArchitecture}.join(
      u' ');
}

bool printSystemInfo(bool verbose, const SystemFacts& facts, std::FILE* out) {
  std::fprintf(out, "System Information:\n");
  if (verbose) {
    printLine(out, "\t- buildAbi: %s\n", facts.buildAbi);
    printLine(out, "\t- buildCpuArchitecture: %s\n", facts.buildCpuArchitecture);
  }
  printLine(out, "\t- currentCpuArchitecture: %s\n", facts.currentCpuArchitecture);
  printLine(out, "\t- kernelType: %s\n", facts.kernelType);
  if (verbose) {
    printLine(out, "\t- kernelVersion: %s\n", facts.kernelVersion);
    printLine(out, "\t- prettyProductName: %s\n", facts.prettyProductName);
  }
  printLine(out, "\t- productType: %s\n", facts.productType);
  printLine(out, "\t- productVersion: %s\n", facts.productVersion);
  const bool compatible = SystemInfo::isCompatible(facts);
  std::fprintf(out, "Compatible: %s\n", compatible ? "true" : "false");
  std::fflush(out);
  return compatible;
}
