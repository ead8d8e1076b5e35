#include "disk_images.h"

#include <QFile>
#include <QProcess>
#include <fstream>
#include <random>
#include <thread>

namespace kvn_test {

int runTool(const QString& program, const QStringList& args, QString* out,
            const QByteArray& input) {
  QProcess process;
  process.start(program, args);
  if (!process.waitForStarted(10000)) return -1;
  if (!input.isEmpty()) process.write(input);
  process.closeWriteChannel();
  if (!process.waitForFinished(120000)) {
    process.kill();
    process.waitForFinished();
    return -1;
  }
  if (out != nullptr) *out = QString::fromUtf8(process.readAllStandardOutput()).trimmed();
  return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

void makeTree(const std::string& folder, int count, std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  for (int i = 0; i < count; ++i) {
    std::string content(size + static_cast<std::size_t>(i) * 1000, '\0');
    for (char& c : content) c = static_cast<char>(random());
    std::ofstream(folder + "/file" + std::to_string(i) + ".bin", std::ios::binary) << content;
  }
}

void makePatternFile(const std::string& path, std::uint64_t size) {
  std::string content(size, '\0');
  for (std::uint64_t i = 0; i < size; ++i) content[i] = static_cast<char>((i * 31) ^ (i >> 12));
  std::ofstream(path, std::ios::binary) << content;
}

bool makeExt4(const std::string& path, int sizeMiB, const std::string& tree, int blockSize) {
  // Small groups put backup superblocks behind unused space, so a
  // traversal has blocks to skip between used ones.
  QStringList args{"-q", "-F",   "-b", QString::number(blockSize),
                   "-g", "8192", "-E", "lazy_itable_init=0,lazy_journal_init=0"};
  if (!tree.empty()) args << "-d" << QString::fromStdString(tree);
  args << QString::fromStdString(path);
  if (sizeMiB > 0) args << QStringLiteral("%1M").arg(sizeMiB);
  return runTool("mkfs.ext4", args) == 0;
}

bool makeDisk(const std::string& path, std::uint64_t size, const QString& script) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      !file.resize(static_cast<qint64>(size))) {
    return false;
  }
  file.close();
  return runTool("sfdisk", {"-q", "--no-reread", "--no-tell-kernel", QString::fromStdString(path)},
                 nullptr, script.toUtf8()) == 0;
}

bool LoopDevice::attach(const std::string& image, QString* why) {
  QString out;
  if (runTool("losetup", {"-f", "--show", "-P", QString::fromStdString(image)}, &out) != 0 ||
      !out.startsWith("/dev/loop")) {
    *why = "losetup refused: " + out;
    return false;
  }
  path_ = out;
  // losetup -P does not always scan the partitions here; partx adds them.
  runTool("partx", {"-a", path_});
  for (int i = 0; i < 50 && QFile::exists(path_ + "p1") == false; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

LoopDevice::~LoopDevice() {
  if (path_.isEmpty()) return;
  runTool("partx", {"-d", path_});
  runTool("losetup", {"-d", path_});
}

}  // namespace kvn_test
