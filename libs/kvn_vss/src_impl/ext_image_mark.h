// The restored-system mark written into a raw copy of an ext2, ext3 or
// ext4 volume, through libext2fs, without mounting it.
#pragma once

#include <QString>

namespace kvn_vss {

// Marks the file system in the image file copy: removes the swap files at
// its root and marks the agent's settings file below the data root. The
// copy is not mounted anywhere the library can see, so it is taken for the
// system's root volume ("/"). A copy holding another file system, or one
// whose journal still needs replaying, is left as it is with a debug line;
// failures are logged and leave the copy as consistent as libext2fs left it.
void markRestoredExtImage(const QString& copy);

}  // namespace kvn_vss
