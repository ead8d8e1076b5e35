#include "disk_images.h"

#include <QFile>
#include <fstream>
#include <random>
#include <thread>

#include "tool_runner.h"

namespace kvn_test {

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
  return runTool("mkfs.ext4", args).ok();
}

bool makeDisk(const std::string& path, std::uint64_t size, const QString& script) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
      !file.resize(static_cast<qint64>(size))) {
    return false;
  }
  file.close();
  return runTool("sfdisk", {"-q", "--no-reread", "--no-tell-kernel", QString::fromStdString(path)},
                 script.toUtf8())
      .ok();
}

bool LoopDevice::attach(const std::string& image, QString* why) {
  const ToolRun losetup = runTool("losetup", {"-f", "--show", "-P", QString::fromStdString(image)});
  if (!losetup.ok() || !losetup.output.startsWith("/dev/loop")) {
    *why = "losetup refused: " + losetup.output;
    return false;
  }
  path_ = losetup.output;
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
