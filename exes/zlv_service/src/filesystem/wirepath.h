// Paths as the box writes them: "|" in place of the native separator, in
// both directions ("|home|ann|" is the folder /home/ann).
#pragma once

#include <QString>

// "|" → "/".
QString fromWirePath(const QString& path);
// "/" → "|".
QString toWirePath(const QString& path);
