// Runs a system tool (mkfs.ext4, debugfs, losetup, lvm, ...) for a test and
// tells what it did: its exit code and its output. Started as a
// SpawnedProcess, so the thread sanitizer can follow the test.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <string>
#include <vector>

namespace kvn_test {

struct ToolRun {
  // -1 when the tool could not start, crashed or ran past two minutes.
  int exitCode = -1;
  // Standard output without surrounding white space; standard error is
  // mixed in only with ToolOutput::Merged.
  QString output;
  bool ok() const { return exitCode == 0; }
};

enum class ToolOutput { Standard, Merged };

// Runs program with arguments, input on its standard input (closed at
// once when empty).
ToolRun runTool(const QString& program, const QStringList& arguments, const QByteArray& input = {},
                ToolOutput streams = ToolOutput::Standard);

// Arguments as SpawnedProcess takes them.
std::vector<std::string> toStdStrings(const QStringList& arguments);

}  // namespace kvn_test
