// The snapshot library for tests: frozen copies instead of snapshots.
#include "copy_snapshot_maker.h"
#include "vss_impl.h"

extern "C" KVN_VSS_EXPORT kvn_vss::Vss* vssCreateInstance() {
  return kvn_vss::createVss<kvn_vss::CopySnapshotMaker>();
}
