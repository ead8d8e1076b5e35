// A snapshot library for benchmarks whose "snapshot" of a volume is the
// live volume itself. A Windows shadow copy costs next to nothing to make
// and read through; the test library's frozen copy would add a copy of the
// whole tree to every run, and the production library needs btrfs. With
// this one a benchmark measures the backup, not the stand-in snapshot.
#include "snapshot_maker.h"
#include "vss_impl.h"

namespace {

class LiveSnapshotMaker : public kvn_vss::SnapshotMaker {
 public:
  bool start(const QUuid&, QString*) override { return true; }
  bool add(const QString&, QString*) override { return true; }
  QString take(const QString& volume, QString*) override { return volume; }
  bool destroy(QString*) override { return true; }
};

}  // namespace

extern "C" KVN_VSS_EXPORT kvn_vss::Vss* vssCreateInstance() {
  return kvn_vss::createVss<LiveSnapshotMaker>();
}
