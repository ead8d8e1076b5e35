// The box's side of a file backup run: the action packets, the file
// descriptions, full versions and deltas with their signatures, signature
// requests, script results and the final answer. Rebuilt versions go into
// a BackupStore shared by all connections.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>

#include "boxsim/backup_store.h"
#include "boxsim/handler.h"
#include "boxsim/job_settings.h"
#include "kvn_network/backup_protocol.h"

namespace boxsim {

namespace backup_type = ::kvn_network::backup_type;
namespace data_kind = ::kvn_network::data_kind;

// Codes of the box's error answers.
namespace box_code {
using namespace ::kvn_network::box_code;
// What the box cannot do: store a version whose data did not all arrive or
// does not rebuild, a delta without a stored basis, a signature it does
// not hold, an action it does not know. The agent only logs the code.
inline constexpr std::uint32_t kRefused = 0xEFFEEFFC;
}  // namespace box_code

// How the box answers a backup run. Each connection takes a copy of the
// script when its backup conversation starts and consumes that copy.
struct BackupScript {
  // Native paths answered to PREP as files to be fixed.
  QStringList filesToFix;
  // PREP is answered with box_code::kNotPermitted.
  bool notPermitted = false;
  // INI is answered with box_code::kQuota.
  bool quotaOnIni = false;
  // The k-th BACKUP action of the connection (from 1) is answered with
  // box_code::kQuota; 0: never.
  int quotaOnBackup = 0;
  // Native path -> conflict strings ("AE", "SY", ...), one answered per
  // description of that path, in order; then the normal answer again.
  std::map<QString, QStringList> conflicts;
  // The final answer (to the backup confirmation) is an error with this
  // code; 0: OK.
  std::uint32_t finalError = 0;
  // A file-data transfer (full or delta) closes the connection at the data
  // chunk that follows its first closeAfterDataChunks chunks, as a box that
  // goes away mid-file; -1: never.
  int closeAfterDataChunks = -1;
};

// What all backup connections of one simulator share.
class BackupBox {
 public:
  // The store in storeFolder; without one, in a temporary folder.
  explicit BackupBox(const QString& storeFolder = {}) : store_(storeFolder) {}

  BackupStore& store() { return store_; }
  JobSettingsTable& jobs() { return jobs_; }

  // Applies to connections whose backup conversation starts from now on.
  void setScript(const BackupScript& script);
  BackupScript script() const;

 private:
  BackupStore store_;
  JobSettingsTable jobs_;
  mutable std::mutex mutex_;
  BackupScript script_;
};

// Registers the backup conversation (replacing the generic confirmations
// of the backup types). Error-flagged packets of the report types go to
// the report handling.
void addBackupHandlers(Registry& registry, std::shared_ptr<BackupBox> box);

}  // namespace boxsim
