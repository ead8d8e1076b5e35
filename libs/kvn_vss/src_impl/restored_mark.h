// The mark a snapshot gets while it can still be written, so that a machine
// restored from it knows it was restored: the swap files at the volume's
// root go, and the agent's settings file below the data root says
// "reset_agent=true" and "restored_agent=true". The live system is never
// touched.
#pragma once

#include <QString>

namespace kvn_vss {

// The swap files a restored system must not find at a volume's root.
inline constexpr const char* kRestoredSwapFiles[] = {"swapfile", "swap.img"};
// The settings file below the data root.
inline constexpr const char* kSettingsBelowDataRoot = "/Zelvo/zlv.ini";

// Where the agent's data root lies inside the file system mounted at
// volume ("/var/lib" for "/", "/lib" for "/var"), or empty when it lies on
// another volume.
QString dataRootInsideVolume(const QString& volume);

// The settings text with the restored mark; where names the file in the
// debug lines that show the text before and after.
QByteArray markedSettings(const QString& where, const QByteArray& text);

// volume: the mount point the snapshot shows; root: where the snapshot's
// copy of that mount point can be written. Failures are logged; a snapshot
// without the settings file only loses its swap files.
void markRestoredSystem(const QString& volume, const QString& root);

// Whether a volume text names a device or an image file instead of a
// mounted folder.
bool isDeviceVolume(const QString& volume);

}  // namespace kvn_vss
