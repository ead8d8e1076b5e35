// The box's "volume_list" question answered from the volume list:
//   {"ok": true, "entries": [{"disk", "disk_name", "disk_serial", "disk_size",
//    "vol_name", "name", "is_critical", "label", "filesystem", "total_size",
//    "free_space"}], "count"}
// Sizes are decimal texts, so that no JSON reader rounds them.
#pragma once

#include <QJsonObject>
#include <vector>

#include "kvn_snapshot/volume_list.h"

namespace kvn_snapshot {

QJsonObject volumeListReply(const std::vector<VolumeRecord>& volumes);

}  // namespace kvn_snapshot
