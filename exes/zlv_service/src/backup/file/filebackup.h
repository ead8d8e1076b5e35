// The transfer of a file backup: makes the snapshot the job reads from,
// and for every listed file tells the box about it, then sends the whole
// file or an rsync delta against its previous signature, always with a new
// signature kept in the signature folder, and records the file.
#pragma once

#include <QByteArray>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "backup/file/filedescription.h"
#include "backup/file/filepreparer.h"
#include "backup/file/newsignature.h"
#include "backup/file/snapshotcontext.h"
#include "backup/file/versions.h"
#include "backup/job.h"
#include "database/filerecords.h"
#include "database/recordbatch.h"
#include "filesystem/fileinfo.h"

namespace kvn_network {
class NetClientSendFileSink;
}
namespace kvn_rsync {
class PreviousSignature;
}
namespace kvn_vss {
class ShadowCopySet;
}
class FSNJob;

class FileBackup : public BackupOperation {
 public:
  // Results of describeFile besides the conflicts.
  static constexpr std::uint32_t kAccepted = 1;
  static constexpr std::uint32_t kAlreadyExists = 2;
  static constexpr std::uint32_t kSyncConflict = 3;
  static constexpr std::uint32_t kMissingSignature = 0x10111004;

  FileBackup(Backup& backup, SnapshotContext& context);
  ~FileBackup() override;

  std::uint32_t prepare(Job& job) override;
  void begin(Job& job, QSqlDatabase& db) override;
  void end() override;
  void finish() override;

  // The whole procedure for one file, conflicts retried: 0 or a code.
  // next is the file backupFile is called for right after this one, when
  // there is one: its INFO and BACKUP actions then leave behind this file's
  // confirmation, and the box answers the three in one go.
  std::uint32_t backupFile(const kvn_agent_filesystem::KVNFileInfo& file,
                           const kvn_agent_filesystem::KVNFileInfo* next = nullptr);
  // Has the payload of a file that backupFile will be called for soon
  // prepared meanwhile, when it is a small new file. Files are announced
  // in the order they are backed up, at most kLookAhead after the one
  // being backed up.
  void prepareAhead(const kvn_agent_filesystem::KVNFileInfo& file);
  static constexpr std::size_t kLookAhead = FilePreparer::kMaxAhead - 1;

 private:
  struct Attempt;

  // The INFO and BACKUP actions of the next file sent behind a
  // confirmation, and then what their answers gave.
  struct Announced {
    QString path;
    std::uint32_t info = 0;
    // Not 0 also when it was never sent.
    std::uint32_t action = 0;
  };

  std::uint32_t sendFile(const kvn_agent_filesystem::KVNFileInfo& file);
  // The file's INFO and BACKUP actions: sent and answered now, or taken
  // from the announcement made with the previous file. 0 or the code.
  std::uint32_t openFile(const kvn_agent_filesystem::KVNFileInfo& file);
  // Sends the next file's actions (held with the confirmation just sent).
  void announceNext();
  // Reads their answers, which follow the answer to the confirmation; the
  // confirmation's result says whether the connection still stands.
  void readAnnounced(std::uint32_t confirmed);
  // The confirmation of a file and the box's answer, with the next file's
  // actions on the way: 0 or a code (logged).
  std::uint32_t confirmVersion(std::uint32_t confirmType);
  std::uint32_t newFile(const kvn_agent_filesystem::KVNFileInfo& file);
  std::uint32_t knownFile(const kvn_agent_filesystem::KVNFileInfo& file,
                          const FileVersion& version);
  std::uint32_t deltaStep(const FileVersion& version, FileDescription& record,
                          std::uint32_t described);
  // Records the new last write of a known file.
  void recordNewVersion(const FileVersion& version, const FileDescription& record);
  // Counts an error for every record a batch could not keep.
  void countLost(std::size_t lostRecords);

  std::uint32_t prepareFileToSend(const kvn_agent_filesystem::KVNFileInfo& file, bool isNewFile,
                                  std::int32_t versionNumber, std::int32_t previousLastWrite,
                                  FileDescription& record);
  // Reports a failed preparation on the description's packet type.
  std::uint32_t reportPreparationFailure(std::uint32_t result, const QString& path);

  std::uint32_t sendFullVersion(const FileDescription& record);
  std::uint32_t sendDelta(FileDescription& record);
  std::uint32_t sendSignature(const FileDescription& record);
  std::uint32_t downloadSignature(FileDescription& record, std::uint32_t& described);
  // Sends the payload prepared ahead for a new file and keeps its
  // signature; false when there is none that fits the file.
  bool sendPrepared(const FileDescription& record, kvn_network::NetClientSendFileSink& sink);
  // Runs the file through the chain into a network sink of the data kind,
  // writing the new signature on the way; as a delta against previous when
  // there is one.
  void runDataChain(const FileDescription& record, std::uint32_t dataKind,
                    kvn_rsync::PreviousSignature* previous);
  // After a failed send: deletes the new signature, counts the error and
  // reports it ("<path> (<what>)") on packetType. The failure's code, or
  // KVN_E_NETWORK when the report could not be sent.
  std::uint32_t failTransfer(std::uint32_t result, const FileDescription& record,
                             std::uint32_t packetType, const char* what);

  bool stopRequested() const;
  std::uint32_t stopped() const;

  SnapshotContext& context_;
  FSNJob* job_ = nullptr;
  QSqlDatabase* db_ = nullptr;
  FileVersions* versions_ = nullptr;
  // The file rows of the job, for the run (between begin() and end()).
  std::optional<kvn_agent_database::FileRecords> records_;
  // New records and last writes wait here and are written a batch at a
  // time.
  std::optional<kvn_agent_database::RecordBatch> batch_;
  // The signature the last data chain made, while it is small enough to
  // be kept; sendSignature sends it from here instead of reading it back.
  std::optional<std::vector<char>> newSignature_;
  SignatureFolders signatureFolders_;
  // The file after the one being backed up, while backupFile runs.
  const kvn_agent_filesystem::KVNFileInfo* next_ = nullptr;
  std::optional<Announced> announced_;
  // Prepares new small files ahead; none after the connection failed.
  std::unique_ptr<FilePreparer> preparer_;
  // New files small enough to be prepared ahead, and how many of them were
  // sent as prepared: logged at the end of the run, as a file read again
  // costs the backup's own thread the work the preparer was there for.
  int preparable_ = 0;
  int sentPrepared_ = 0;
  std::unique_ptr<kvn_vss::ShadowCopySet> snapshot_;
  QStringList reparsePoints_;
};
