// Restorations and deletions run by the file operation manager against the
// simulated box, after real backups filled the box's store.
#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <cstdint>
#include <ctime>
#include <memory>

#include "backup_e2e_fixture.h"
#include "fileops/fileoperationmanager.h"

namespace kvn_e2e {

// A file as it should come back: its bytes and its last write.
struct ExpectedFile {
  QByteArray content;
  std::time_t lastWrite = 0;
};
// Relative path below the tree -> file.
using ExpectedTree = QMap<QString, ExpectedFile>;

class FileOperationsE2E : public BackupE2E {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts the box on 127.0.5.<n>.
  void startBox(int n) { startBoxAt(QString("127.0.5.%1").arg(n)); }
  FileOperationContext context() const;
  static JobSettings dataSettings(bool crypto, bool compression) {
    JobSettings settings;
    settings.crypto = crypto;
    settings.compression = compression;
    return settings;
  }
  // The job's files (all when empty) at a version (0: the newest).
  static boxsim::RestorePlan plan(std::int64_t jobId, const QStringList& files = {},
                                  int version = 0) {
    boxsim::RestorePlan plan;
    plan.jobId = jobId;
    plan.files = files;
    plan.version = version;
    return plan;
  }
  FileOperationManager& manager() { return *manager_; }

  // Writes every file of tree below the tree folder.
  void writeTree(const ExpectedTree& tree);
  // Prepares the restoration on the box and runs it to its end.
  void restore(const QString& operationId, const boxsim::RestorePlan& plan, const QString& target);
  // Waits until the manager has nothing running or pending.
  static void waitUntilIdle(const FileOperationManager& manager);

  // Compares the files of tree below root (the target followed by each
  // file's absolute path; "" for the original places).
  void expectRestored(const ExpectedTree& tree, const QString& root);
  // Files of a folder (recursively) whose name marks a staged restore.
  QStringList stagedLeftovers(const QString& folder) const;
  // Puts a version of path straight into the box's store.
  void plantVersion(std::int64_t jobId, const QString& path, const QByteArray& content,
                    std::int32_t lastWrite);
  // outside/secret.txt ("keep me"), and below target two links to it: one
  // planted as a folder on the way (via/link), one at a destination
  // (at/secret.txt).
  void plantLinksOut(const QString& target, const QString& outside);
  // A folder nobody may create anything in (undone at tear-down).
  void makeUnwritable(const QString& folder);

  QString scratch(const QString& name) const;

 private:
  std::unique_ptr<FileOperationManager> manager_;
  QStringList unwritable_;
};

}  // namespace kvn_e2e
