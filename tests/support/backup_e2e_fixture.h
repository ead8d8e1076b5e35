// Whole backup runs of the agent against the simulated box on loopback: a
// fresh agent database and data folder, a paired box with the backup
// conversation and a store, the job tables filled by hand, and one run at a
// time with its row and the box's view of the result.
#pragma once

#include <gtest/gtest.h>

#include <QByteArray>
#include <QDir>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "boxsim/backup_handlers.h"
#include "boxsim/file_operation_handlers.h"
#include "boxsim/simulator.h"
#include "boxsim/store_verifier.h"
#include "connection/credentials.h"
#include "connection/zlvnetwork.h"
#include "fresh_database.h"
#include "kvn_snapshot/volume_list.h"
#include "log_capture.h"

class Backup;
struct BackupEnvironment;
class FileOperationGate;

namespace kvn_e2e {

// What a job's row in the backup table says after a run.
// What the agent logged of the last image of a volume.
struct ImageFigures {
  std::uint64_t bytesRead = 0;
  std::uint64_t volumeSize = 0;
  std::uint64_t blocksSent = 0;
};

struct BackupRow {
  bool exists = false;
  std::int32_t status = 0;
  int modifiedFiles = 0;
  int errors = 0;
  bool limitExceeded = false;
  QVariant lastTime;
};

struct RunOutcome {
  std::uint32_t result = 0;
  BackupRow row;
  // The box's store against the tree, for the job.
  boxsim::VerifyResult verify;
};

struct JobSettings {
  bool crypto = true;
  bool compression = true;
  QString type = "fsn";
  // Script text, stored Base64 as the box sends it.
  QString preScript;
  // Exclusion patterns in the box's "|" form.
  QStringList excluded;
};

// Content that does not compress, the same for the same seed.
QByteArray noise(qsizetype size, std::uint32_t seed);

// The data transfers of one job: path -> data kinds (10 whole, 11
// signature, 12 delta), from record index first on.
using Transfers = std::multimap<QString, std::uint32_t>;
Transfers transfers(const boxsim::Record& record, std::size_t first, std::int64_t jobId);
bool sent(const Transfers& kinds, const QString& path, std::uint32_t kind);

class BackupE2E : public kvn_test::FreshDatabase {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Loads library for the process unless it is the one loaded already.
  static bool useSnapshotLibrary(const char* library);

  // Starts the box on 127.0.0.<n> and pairs the agent with it.
  void startBox(int n);
  // The same on a full address (127.0.X.N).
  void startBoxAt(const QString& address);
  boxsim::BackupBox& box() { return *box_; }
  // Restorations and deletions of the same box and store.
  boxsim::FileOperationsBox& fileOperationsBox() { return *fileOperations_; }
  const Credentials& credentials() const { return *credentials_; }
  boxsim::Record& record() { return simulator_->record(); }
  // What the box's rebuild of an encrypted image needs.
  const kvn_crypto::Bytes& boxDataKey() const { return simulator_->identity().dataKey; }
  // The box's simulator, to tell its share of this process's CPU time.
  const boxsim::BoxSimulator& simulator() const { return *simulator_; }

  // The job row and its selection: one pattern per path (native, absolute).
  void addJob(std::int64_t jobId, const QStringList& selected, const JobSettings& settings = {});

  // The generated tree that jobs select.
  QString tree() const { return tree_; }
  QString treePath(const QString& relative) const { return tree_ + "/" + relative; }
  // Writes a file below the tree with the given last write (seconds).
  void writeTreeFile(const QString& relative, const QByteArray& content, std::time_t lastWrite);
  static void setLastWrite(const QString& path, std::time_t lastWrite);

  // What the following runs wait on (restorations and deletions); none
  // when null.
  void setFileOperationGate(FileOperationGate* gate) { gate_ = gate; }
  // How the following runs reach the box; null: over loopback, as the
  // service does.
  void setConnect(NetworkFactory connect) { connect_ = std::move(connect); }

  // What a run of this fixture's agent is made with.
  BackupEnvironment environment() const;
  // One whole run; during (if given) runs on a second thread while the run
  // goes on and is joined before the run is destroyed.
  RunOutcome runBackup(std::int64_t jobId, const std::function<void(Backup&)>& during = {});
  BackupRow lastRow(std::int64_t jobId);
  int rowCount(std::int64_t jobId);
  // The last write recorded in the file table, or an invalid value.
  QVariant recordedLastWrite(std::int64_t jobId, const QString& path);
  // The signature file the agent keeps for one version of a file.
  QString signaturePath(std::int64_t jobId, const QString& path, std::int64_t lastWrite) const;
  QString signaturesDir() const { return data_ + "/Signatures"; }

  // Notes of the box that report code on packet type 0x10000000.
  bool boxGotReport(std::uint32_t code, std::uint32_t packetType = 0x10000000);

  std::string log() const { return log_->text(); }
  ImageFigures lastImageFigures(const QString& volume) const;

  // The volumes a system image run sees; unset: the machine's.
  void setVolumeLister(std::function<std::vector<kvn_snapshot::VolumeRecord>()> lister) {
    volumeLister_ = std::move(lister);
  }
  // The folder of the fixture's temporary files.
  QString scratch(const QString& name) const {
    return QString::fromStdString(dir_.file(name.toStdString()));
  }

 private:
  // Takes stdout too, gtest's messages included: shown again on failure.
  std::unique_ptr<kvn_test::LogCapture> log_ = std::make_unique<kvn_test::LogCapture>();
  QString data_;
  QString tree_;
  std::unique_ptr<Credentials> credentials_;
  FileOperationGate* gate_ = nullptr;
  NetworkFactory connect_;
  std::function<std::vector<kvn_snapshot::VolumeRecord>()> volumeLister_;
  std::shared_ptr<boxsim::BackupBox> box_;
  std::shared_ptr<boxsim::FileOperationsBox> fileOperations_;
  std::unique_ptr<boxsim::BoxSimulator> simulator_;
};

}  // namespace kvn_e2e
