// Disk and file-system images for the snapshot tests, made with the
// system's tools (sfdisk, mkfs.ext4, debugfs, losetup, partx) on plain
// files; nothing is mounted.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>

namespace kvn_test {

// A folder of files with pseudo-random content: count files of size bytes.
void makeTree(const std::string& folder, int count, std::size_t size, unsigned seed);

// A file of size bytes filled by a repeatable pattern.
void makePatternFile(const std::string& path, std::uint64_t size);

// An ext4 file system with blocks of blockSize bytes and 8192 blocks per
// group in path, filled from tree (none
// when empty): a new image file of sizeMiB MiB, or the whole device or
// existing file with sizeMiB 0. False when mkfs.ext4 failed.
bool makeExt4(const std::string& path, int sizeMiB, const std::string& tree, int blockSize = 4096);

// A file of size bytes partitioned by sfdisk with script.
bool makeDisk(const std::string& path, std::uint64_t size, const QString& script);

// A loop device attached to an image file with its partitions, detached
// (partitions first) when the object goes.
class LoopDevice {
 public:
  LoopDevice() = default;
  ~LoopDevice();
  LoopDevice(const LoopDevice&) = delete;
  LoopDevice& operator=(const LoopDevice&) = delete;

  // False with *why when the machine refuses loop devices.
  bool attach(const std::string& image, QString* why);
  const QString& path() const { return path_; }  // "/dev/loop3"
  QString name() const { return path_.mid(5); }  // "loop3"
  QString partition(int number) const { return path_ + 'p' + QString::number(number); }

 private:
  QString path_;
};

}  // namespace kvn_test
