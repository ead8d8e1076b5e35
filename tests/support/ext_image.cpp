#include "ext_image.h"

#include <QFile>

#include "tool_runner.h"

namespace kvn_sysimg_test {

QString runTool(const QString& program, const QStringList& arguments, bool* ok) {
  const kvn_test::ToolRun run =
      kvn_test::runTool(program, arguments, {}, kvn_test::ToolOutput::Merged);
  *ok = run.ok();
  if (*ok) return run.output;
  return QString("%1 %2 failed (%3): %4")
      .arg(program, arguments.join(' '))
      .arg(run.exitCode)
      .arg(run.output);
}

QString makeExt4(const QString& path, int sizeMiB, const QString& tree) {
  bool ok = false;
  const QString output = runTool("mkfs.ext4",
                                 {"-q", "-F", "-b", "4096", "-E", "root_owner=0:0", "-d", tree,
                                  path, QString("%1M").arg(sizeMiB)},
                                 &ok);
  return ok ? QString() : output;
}

QString fsckProblems(const QString& image) {
  bool ok = false;
  const QString output = runTool("e2fsck", {"-fn", image}, &ok);
  return ok ? QString() : output;
}

QByteArray dumpFile(const QString& image, const QString& path, const QString& scratch) {
  QFile::remove(scratch);
  bool ok = false;
  runTool("debugfs", {"-R", QString("dump %1 %2").arg(path, scratch), image}, &ok);
  QFile file(scratch);
  if (!ok || !file.open(QIODevice::ReadOnly)) return "<no dump>";
  return file.readAll();
}

QString writeIntoImage(const QString& image, const QString& local, const QString& path) {
  bool ok = false;
  runTool("debugfs", {"-w", "-R", QString("rm %1").arg(path), image}, &ok);
  const QString output =
      runTool("debugfs", {"-w", "-R", QString("write %1 %2").arg(local, path), image}, &ok);
  return ok ? QString() : output;
}

}  // namespace kvn_sysimg_test
