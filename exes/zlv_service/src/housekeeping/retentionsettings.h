// How long deleted files stay on the box and how often retention looks.
// Process-wide values set from the command line before the threads start;
// 64-bit throughout, so that days × unit cannot wrap.
#pragma once

#include <QtGlobal>
#include <optional>

struct RetentionSettings {
  // Seconds in one unit of a job's config_retention_days.
  qint64 unit = 86400;
  // Wait after start before the first pass.
  qint64 delay = 60;
  // Wait after a pass before the next one.
  qint64 interval = 28800;

  // Keeps the default for every option that is absent or did not parse.
  static RetentionSettings from(std::optional<qint64> unit, std::optional<qint64> delay,
                                std::optional<qint64> interval);
};
