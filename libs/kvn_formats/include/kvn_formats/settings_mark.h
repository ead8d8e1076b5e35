// The mark a system image leaves in its copy of the agent's settings file,
// so that a machine restored from it starts an agent that knows it was
// restored.
#pragma once

#include <QString>

namespace kvn_formats {

// The settings text with "reset_agent=true" and "restored_agent=true": each
// existing line of the key (case-sensitive, anywhere in the text) is
// replaced by the key set to true; a missing key is appended as a line of
// its own. Every line it writes ends with a line feed.
QString markRestoredSettings(const QString& text);

}  // namespace kvn_formats
