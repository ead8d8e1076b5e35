// Paths on the wire and in the job tables use "|" where the agent's text
// path (kvn_platform/text_path_qt.h) has the native separator "/". A text
// path never holds "|" ("|" in a name is mapped to another character), so
// the two conversions are exact inverses.
#pragma once

#include <QString>

namespace kvn_network {

inline constexpr char16_t kWireSeparator = u'|';

// "/" → "|".
inline QString toWirePath(QString textPath) { return textPath.replace(u'/', kWireSeparator); }
// "|" → "/".
inline QString fromWirePath(QString wirePath) { return wirePath.replace(kWireSeparator, u'/'); }

}  // namespace kvn_network
