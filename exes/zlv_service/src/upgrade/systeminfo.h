// Whether this machine is a system the agent supports: unsupported systems
// get no automatic upgrades, and "--check-compat" prints the verdict.
#pragma once

#include <QString>
#include <cstdio>

// What the verdict depends on, as the system library reports it.
struct SystemFacts {
  QString buildAbi;
  QString buildCpuArchitecture;
  QString currentCpuArchitecture;
  QString kernelType;
  QString kernelVersion;
  QString prettyProductName;
  QString productType;
  QString productVersion;

  static SystemFacts current();
};

class SystemInfo {
 public:
  static bool isCompatible(const SystemFacts& facts = SystemFacts::current());
  // Product type, product version and processor architecture.
  static QString describe(const SystemFacts& facts = SystemFacts::current());
};

// The report of "--check-compat" on out (standard error); returns the
// verdict.
bool printSystemInfo(bool verbose, const SystemFacts& facts = SystemFacts::current(),
                     std::FILE* out = stderr);
