#include "ext_image.h"

#include <QFile>
#include <QProcess>

namespace kvn_sysimg_test {

QString runTool(const QString& program, const QStringList& arguments, bool* ok) {
  QProcess process;
  process.setProcessChannelMode(QProcess::MergedChannels);
  process.start(program, arguments);
  const bool finished = process.waitForFinished(120000);
  const QString output = QString::fromLocal8Bit(process.readAll());
  *ok = finished && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
  if (*ok) return output;
  return QString("%1 %2 failed (%3): %4")
      .arg(program, arguments.join(' '))
      .arg(process.exitCode())
      .arg(output);
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
