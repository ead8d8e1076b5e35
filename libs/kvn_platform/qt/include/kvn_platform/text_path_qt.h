// The agent's paths of backed-up files are QStrings holding the text of
// kvn_platform/text_path.h: every file-system call and every path read from
// the system goes through these two functions, never through Qt's own file
// name encoding (which cannot represent every byte).
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace kvn_platform {

// The text path of native bytes.
QString toTextPath(std::string_view native);

// The native bytes of a text path.
std::string toNativePath(const QString& text);

// The text path of a path that Qt's file classes name (the agent's own
// folders, command-line arguments), which Qt encodes as UTF-8.
QString textPathFromQt(const QString& qtPath);

}  // namespace kvn_platform
