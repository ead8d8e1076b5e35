// What the box knows of each job's data: whether the agent encrypts it
// (AES with the session's data cipher) and compresses it (gzip), so that
// the box can undo both. Filled by tests, by the program's --job option,
// and later from the job definitions the box serves.
#pragma once

#include <QString>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

namespace boxsim {

struct JobDataSettings {
  bool useCrypto = false;
  bool useCompression = false;
};

// Job id -> settings; a job never set has both off. Thread-safe.
class JobSettingsTable {
 public:
  void set(std::int64_t jobId, JobDataSettings settings);
  JobDataSettings get(std::int64_t jobId) const;

 private:
  mutable std::mutex mutex_;
  std::map<std::int64_t, JobDataSettings> jobs_;
};

// Reads "ID:" followed by a comma-separated list of "crypto" and
// "compression" (possibly empty, or "none"), e.g. "7:crypto,compression".
// nullopt when the text does not have that form.
std::optional<std::pair<std::int64_t, JobDataSettings>> parseJobOption(const QString& text);

}  // namespace boxsim
