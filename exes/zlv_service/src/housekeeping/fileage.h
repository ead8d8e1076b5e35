// When a file came to be: its birth time where the file system records one,
// its last modification otherwise.
#pragma once

#include <QDateTime>
#include <QString>

namespace housekeeping {

// Invalid when the file cannot be examined.
QDateTime creationTime(const QString& path);
QDateTime modificationTime(const QString& path);
// Whether the file system under path reports birth times.
bool recordsBirthTime(const QString& path);

}  // namespace housekeeping
