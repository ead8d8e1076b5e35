// The compatibility verdict over the systems the agent knows, and the
// report "--check-compat" prints.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "upgrade/systeminfo.h"

namespace {

SystemFacts facts(const QString& kernel, const QString& type, const QString& version,
                  const QString& cpu = "x86_64") {
  SystemFacts f;
  f.currentCpuArchitecture = cpu;
  f.kernelType = kernel;
  f.productType = type;
  f.productVersion = version;
  return f;
}

TEST(SystemInfo, VerdictOverTheTableOfSystems) {
  struct Case {
    SystemFacts facts;
    bool compatible;
  };
  const Case cases[] = {
      {facts("linux", "debian", "12", "i386"), false},
      {facts("linux", "debian", "12", "arm64"), false},
      {facts("winnt", "windows", "server2012"), false},
      {facts("winnt", "windows", "server2016"), true},
      {facts("winnt", "windows", "server2022"), true},
      {facts("winnt", "windows", "serverXXXX"), false},
      {facts("winnt", "windows", "Server2016"), false},
      {facts("winnt", "windows", "10"), true},
      {facts("winnt", "windows", "11"), true},
      {facts("winnt", "windows", "1999"), true},
      {facts("winnt", "windows", "2000"), false},
      {facts("winnt", "windows", "6.3"), false},
      {facts("winnt", "windows", "9"), false},
      {facts("winnt", "windows", ""), false},
      {facts("linux", "ubuntu", "19.10"), false},
      {facts("linux", "ubuntu", "20.04"), true},
      {facts("linux", "debian", "7"), false},
      {facts("linux", "debian", "8"), true},
      {facts("linux", "debian", "12"), true},
      {facts("linux", "rhel", "6.10"), false},
      {facts("linux", "rhel", "7"), true},
      {facts("linux", "centos", "7"), true},
      {facts("linux", "rocky", "9.3"), true},
      {facts("linux", "fedora", "34"), false},
      {facts("linux", "fedora", "35"), true},
      {facts("linux", "arch", "100"), false},
      {facts("linux", "debian", "unknown"), false},
      {facts("darwin", "macos", "10.14"), false},
      {facts("darwin", "macos", "10.15"), true},
      {facts("darwin", "macos", "10"), false},
      {facts("darwin", "macos", "11.0"), true},
      {facts("freebsd", "freebsd", "14"), false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SystemInfo::isCompatible(c.facts), c.compatible)
        << c.facts.kernelType.toStdString() << " " << c.facts.productType.toStdString() << " "
        << c.facts.productVersion.toStdString() << " "
        << c.facts.currentCpuArchitecture.toStdString();
  }
  EXPECT_EQ(SystemInfo::describe(facts("linux", "debian", "12")), "debian 12 x86_64");
}

std::string printed(bool verbose, const SystemFacts& f, bool* verdict) {
  char* buffer = nullptr;
  std::size_t size = 0;
  std::FILE* out = open_memstream(&buffer, &size);
  *verdict = printSystemInfo(verbose, f, out);
  std::fclose(out);
  std::string text(buffer, size);
  std::free(buffer);
  return text;
}

TEST(SystemInfo, CheckCompatPrintsTheShortReportAndTheVerdict) {
  SystemFacts f = facts("linux", "debian", "12");
  f.buildAbi = "x86_64-little_endian-lp64";
  f.kernelVersion = "6.1.0";
  bool verdict = false;
  EXPECT_EQ(printed(false, f, &verdict),
            "System Information:\n\t- currentCpuArchitecture: x86_64\n\t- kernelType: linux\n"
            "\t- productType: debian\n\t- productVersion: 12\nCompatible: true\n");
  EXPECT_TRUE(verdict);
  const std::string verbose = printed(true, facts("linux", "fedora", "30", "i386"), &verdict);
  EXPECT_FALSE(verdict);
  EXPECT_NE(verbose.find("\t- buildAbi: "), std::string::npos);
  EXPECT_NE(verbose.find("\t- kernelVersion: "), std::string::npos);
  EXPECT_NE(verbose.find("Compatible: false\n"), std::string::npos);
}

}  // namespace
