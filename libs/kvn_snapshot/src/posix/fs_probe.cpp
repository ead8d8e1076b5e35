#include "fs_probe.h"

#include <blkid/blkid.h>

namespace kvn_snapshot {

namespace {

QString lookup(blkid_probe probe, const char* name) {
  const char* value = nullptr;
  if (blkid_probe_lookup_value(probe, name, &value, nullptr) != 0 || value == nullptr) return {};
  return QString::fromUtf8(value);
}

}  // namespace

bool probeFileSystem(const QString& devicePath, FsProbe* result) {
  blkid_probe probe = blkid_new_probe_from_filename(devicePath.toLocal8Bit().constData());
  if (probe == nullptr) return false;
  blkid_probe_enable_superblocks(probe, 1);
  blkid_probe_set_superblocks_flags(
      probe, BLKID_SUBLKS_LABEL | BLKID_SUBLKS_UUID | BLKID_SUBLKS_TYPE | BLKID_SUBLKS_USAGE);
  const bool found = blkid_do_safeprobe(probe) == 0;
  if (found) {
    result->type = lookup(probe, "TYPE");
    result->usage = lookup(probe, "USAGE");
    result->uuid = lookup(probe, "UUID");
    result->label = lookup(probe, "LABEL");
  }
  blkid_free_probe(probe);
  return found;
}

}  // namespace kvn_snapshot
