// Held while the job tables are read or replaced: by a backup run from
// before it reads its job until its scripts are loaded, by every scheduler
// pass, and by the job-configuration update while it rewrites the tables,
// so that no reader ever sees half of an update.
#pragma once

#include <mutex>

inline std::mutex jobConfigMutex;
