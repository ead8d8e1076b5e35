#include "scheduler/schedulerclock.h"

#include <QDateTime>

qint64 SystemClock::now() const { return QDateTime::currentSecsSinceEpoch(); }
