// How one kind of snapshot library makes and removes its point-in-time
// views. VssImpl drives it under the library's mutex, so an implementation
// never sees two calls at once.
#pragma once

#include <QHash>
#include <QString>
#include <QUuid>

namespace kvn_vss {

class SnapshotMaker {
 public:
  virtual ~SnapshotMaker() = default;

  // A new set begins; setId names what the set makes.
  virtual bool start(const QUuid& setId, QString* reason) = 0;
  // Whether the volume can be part of the set (AddToSnapshotSet). A refused
  // volume gets no snapshot; the others still do.
  virtual bool add(const QString& volume, QString* reason) = 0;
  // Makes the view of an added volume and returns its root, or an empty text
  // (with a reason) when that failed.
  virtual QString take(const QString& volume, QString* reason) = 0;
  // Every view of the set exists; roots maps volume text → root.
  virtual void taken(const QHash<QString, QString>& roots) { (void)roots; }
  // Removes everything the set made; false when something could not be.
  virtual bool destroy(QString* reason) = 0;
};

}  // namespace kvn_vss
