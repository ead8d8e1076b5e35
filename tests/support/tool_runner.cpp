#include "tool_runner.h"

#include <cstring>

#include "spawned_process.h"

namespace kvn_test {

ToolRun runTool(const QString& program, const QStringList& arguments, const QByteArray& input,
                ToolOutput streams) {
  SpawnOptions options;
  options.input = input.toStdString();
  options.mergeErrors = streams == ToolOutput::Merged;
  SpawnedProcess process(program.toStdString(), toStdStrings(arguments), options);
  ToolRun run;
  if (!process.started()) {
    run.output = QString("cannot start %1: %2").arg(program, std::strerror(process.startError()));
    return run;
  }
  run.exitCode = process.finish(std::chrono::minutes(2));
  run.output = QString::fromLocal8Bit(process.output()).trimmed();
  return run;
}

std::vector<std::string> toStdStrings(const QStringList& arguments) {
  std::vector<std::string> strings;
  strings.reserve(std::size_t(arguments.size()));
  for (const QString& argument : arguments) strings.push_back(argument.toStdString());
  return strings;
}

}  // namespace kvn_test
