#include "boxsim/job_settings.h"

#include <QStringList>

namespace boxsim {

void JobSettingsTable::set(std::int64_t jobId, JobDataSettings settings) {
  std::lock_guard<std::mutex> lock(mutex_);
  jobs_[jobId] = settings;
}

JobDataSettings JobSettingsTable::get(std::int64_t jobId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = jobs_.find(jobId);
  return it == jobs_.end() ? JobDataSettings{} : it->second;
}

std::optional<std::pair<std::int64_t, JobDataSettings>> parseJobOption(const QString& text) {
  const qsizetype colon = text.indexOf(':');
  if (colon <= 0) return std::nullopt;
  bool ok = false;
  const std::int64_t jobId = text.left(colon).toLongLong(&ok);
  if (!ok) return std::nullopt;
  JobDataSettings settings;
  const QString flags = text.mid(colon + 1).trimmed();
  if (flags.isEmpty() || flags == "none") return std::make_pair(jobId, settings);
  for (const QString& flag : flags.split(',')) {
    const QString word = flag.trimmed();
    if (word == "crypto")
      settings.useCrypto = true;
    else if (word == "compression")
      settings.useCompression = true;
    else
      return std::nullopt;
  }
  return std::make_pair(jobId, settings);
}

}  // namespace boxsim
