// The text of an errno value, for the reasons the snapshot makers report.
#pragma once

#include <QString>
#include <cstring>

namespace kvn_vss {

inline QString osErrorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

}  // namespace kvn_vss
