// A description of the machine stored in every volume hashmap: CPU
// architecture and count, network interfaces, memory, firmware and disks.
//
//   {"arch", "cpus", "network": [{"name", "nice_name", "mac", "up", "running"}],
//    "ram", "firmware": "uefi" | "bios",
//    "drives": {"PhysicalDrive<N>": {"removable", "bus", "serial", "bootable"}}}
//
// Keys without a value are left out ("ram" when unknown; "removable" and
// "bootable" unless true; "bus" and "serial" when empty).
#pragma once

#include <QJsonObject>

namespace kvn_formats::volume_image {
class HashmapWriter;
}

namespace kvn_snapshot {

QJsonObject hardwareInfo();

// Stores the indented JSON of hardwareInfo() in the hashmap; always true.
bool dumpHardwareInfo(kvn_formats::volume_image::HashmapWriter& writer);

}  // namespace kvn_snapshot
