// Small reads from sysfs, the kernel's view of block devices.
#pragma once

#include <QString>
#include <cstdint>

namespace kvn_snapshot::sysfs {

// Where sysfs is; the tests and the volume list use the real one.
inline constexpr const char* kClassBlock = "/sys/class/block";
inline constexpr const char* kBlock = "/sys/block";

// The canonical sysfs folder of a block device node ("/sys/devices/.../sda/sda1"),
// or an empty text when path is no block device.
QString deviceFolder(const QString& path);
// The text of an attribute file without its trailing white space; empty when
// it cannot be read.
QString text(const QString& folder, const QString& attribute);
// A decimal attribute; false when missing or not a number.
bool number(const QString& folder, const QString& attribute, std::uint64_t* value);
// Whether folder is a partition (it has a "partition" attribute).
bool isPartition(const QString& folder);
// The disk folder of a partition folder, or folder itself for a disk.
QString diskFolder(const QString& folder);

}  // namespace kvn_snapshot::sysfs
