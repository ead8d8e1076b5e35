#include "kvn_snapshot/volume_list_reply.h"

#include <QJsonArray>

namespace kvn_snapshot {

namespace {

QString decimal(std::uint64_t value) { return QString::number(value); }

}  // namespace

QJsonObject volumeListReply(const std::vector<VolumeRecord>& volumes) {
  QJsonArray entries;
  for (const auto& v : volumes) {
    entries.append(QJsonObject{{"disk", v.diskNumber},
                               {"disk_name", v.diskName},
                               {"disk_serial", v.diskSerial},
                               {"disk_size", decimal(v.diskSize)},
                               {"vol_name", v.volumeGuid},
                               {"name", v.mountName},
                               {"is_critical", v.isCritical},
                               {"label", v.label},
                               {"filesystem", v.fsName},
                               {"total_size", decimal(v.totalSize)},
                               {"free_space", decimal(v.freeSize)}});
  }
  return QJsonObject{{"ok", true}, {"entries", entries}, {"count", int(entries.size())}};
}

}  // namespace kvn_snapshot
