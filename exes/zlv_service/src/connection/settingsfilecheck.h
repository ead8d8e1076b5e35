// Whether the settings file can be trusted before QSettings reads it.
// QSettings takes almost anything without complaint: binary junk becomes
// odd keys, invalid UTF-8 becomes replacement characters, and a damaged
// file would then quietly lose the pairing or be rewritten over the
// evidence. The check looks for what the agent and the snapshot writer
// never write.
#pragma once

#include <QString>
#include <optional>

// What is wrong with the file at path ("line 3 is neither a section nor
// key=value", ...); nullopt when it is sound, absent, or no regular file.
std::optional<QString> settingsFileDamage(const QString& path);

// Renames the file to "<path>.damaged-<UTC yyyyMMdd-HHmmss>", with "-N"
// added when that name is taken, so that it is kept as it was. The new
// path, or empty when the file cannot be renamed.
QString setDamagedFileAside(const QString& path);
