#include "housekeeping/retentionsettings.h"

RetentionSettings RetentionSettings::from(std::optional<qint64> unit, std::optional<qint64> delay,
                                          std::optional<qint64> interval) {
  RetentionSettings settings;
  if (unit) settings.unit = *unit;
  if (delay) settings.delay = *delay;
  if (interval) settings.interval = *interval;
  return settings;
}
