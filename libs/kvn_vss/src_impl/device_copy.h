// A frozen copy of a device or image file: a reflink where the file system
// shares extents, else a copy that leaves zero blocks as holes.
#pragma once

#include <QString>

namespace kvn_vss {

// False with a reason when source cannot be read or target written.
bool copyDevice(const QString& source, const QString& target, QString* reason);

}  // namespace kvn_vss
