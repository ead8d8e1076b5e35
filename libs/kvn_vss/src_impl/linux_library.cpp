// The production snapshot library.
#include "btrfs_snapshot_maker.h"
#include "vss_impl.h"

extern "C" KVN_VSS_EXPORT kvn_vss::Vss* vssCreateInstance() {
  return kvn_vss::createVss<kvn_vss::BtrfsSnapshotMaker>();
}
