// The service's side of the snapshot libraries: loading one library at
// start-up and holding one snapshot set per backup run.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <memory>

#include "kvn_vss/vss.h"

namespace kvn_vss {

class LibraryPin;

// The library named by the environment variable ZLV_SNAPSHOT_LIBRARY (a file
// path or a bare name), or the production library when it is unset.
inline constexpr const char* kLibraryVariable = "ZLV_SNAPSHOT_LIBRARY";
inline constexpr const char* kDefaultLibrary = "kvn_vss_linux";

// Loads the library once per process and resolves its factory. A bare name
// is looked for first beside the running program, then by the system's
// normal search. False (and logged) when already loaded, not found, or
// without the factory; a failed load leaves nothing loaded, so a later call
// tries again.
bool loadVssLibrary();
bool loadVssLibrary(const QString& library);

// False when nothing is loaded; otherwise frees and forgets the library and
// returns the result of the free. Snapshot sets still alive keep its code
// mapped until they go.
bool unloadVssLibrary();

// One run's snapshot set. It keeps the library mapped for as long as it
// holds an object made by it, so unloading can never pull code out from
// under a live set.
class ShadowCopySet {
 public:
  ShadowCopySet();
  ~ShadowCopySet();
  ShadowCopySet(const ShadowCopySet&) = delete;
  ShadowCopySet& operator=(const ShadowCopySet&) = delete;

  // Replaces any older object, stamps createdAt, then initialize and
  // CreateShadowVolume; true only if both succeed.
  bool create(const QStringList& volumes);
  // Deletes the snapshots; the object stays until the set is destroyed or
  // created again.
  void release();
  QString snapshotPath(const QString& volume) const;
  bool isEmpty() const { return !vss_; }
  // Local time at which the set was requested: the backup time of every
  // volume of the run.
  const QDateTime& createdAt() const { return createdAt_; }

 private:
  void destroy();

  std::unique_ptr<LibraryPin> pin_;
  std::unique_ptr<Vss> vss_;
  QDateTime createdAt_;
};

}  // namespace kvn_vss
