#include "tool_runner.h"

#include <QProcess>

namespace kvn_test {

ToolRun runTool(const QString& program, const QStringList& arguments, const QByteArray& input,
                ToolOutput streams) {
  ToolRun run;
  QProcess process;
  if (streams == ToolOutput::Merged) process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(program, arguments);
  if (!process.waitForStarted(10000)) {
    run.output = process.errorString();
    return run;
  }
  if (!input.isEmpty()) process.write(input);
  process.closeWriteChannel();
  const bool finished = process.waitForFinished(120000);
  if (!finished) {
    process.kill();
    process.waitForFinished();
  }
  run.output = QString::fromLocal8Bit(process.readAllStandardOutput()).trimmed();
  if (finished && process.exitStatus() == QProcess::NormalExit) run.exitCode = process.exitCode();
  return run;
}

}  // namespace kvn_test
