// The mark a snapshot gets while it can still be written, so that a machine
// restored from it knows it was restored: the swap files at the volume's
// root go, and the agent's settings file below the data root says
// "reset_agent=true" and "restored_agent=true". The live system is never
// touched.
#pragma once

#include <QString>

namespace kvn_vss {

// volume: the mount point the snapshot shows; root: where the snapshot's
// copy of that mount point can be written. Failures are logged; a snapshot
// without the settings file only loses its swap files.
void markRestoredSystem(const QString& volume, const QString& root);

// Whether a volume text names a device or an image file instead of a
// mounted folder.
bool isDeviceVolume(const QString& volume);

}  // namespace kvn_vss
