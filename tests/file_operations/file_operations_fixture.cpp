#include "file_operations_fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <chrono>
#include <thread>

#include "fileops/stagedfile.h"
#include "spawned_process.h"

namespace kvn_e2e {

void FileOperationsE2E::SetUp() {
  BackupE2E::SetUp();
  if (HasFatalFailure()) return;
}

void FileOperationsE2E::TearDown() {
  if (manager_) manager_->finalize();
  manager_.reset();
  for (const QString& folder : unwritable_) {
    if (::geteuid() == 0)
      kvn_test::runProgram("chattr", {"-i", folder.toStdString()});
    else
      ::chmod(QFile::encodeName(folder).constData(), 0755);
  }
  BackupE2E::TearDown();
}

FileOperationContext FileOperationsE2E::context() const {
  return FileOperationContext{
      &credentials(), ZlvNetworkSettings{5000, {5000, 60000}}, QDir(signaturesDir()), {}};
}

void FileOperationsE2E::writeTree(const ExpectedTree& tree) {
  for (auto it = tree.begin(); it != tree.end(); ++it)
    writeTreeFile(it.key(), it->content, it->lastWrite);
}

void FileOperationsE2E::restore(const QString& operationId, const boxsim::RestorePlan& plan,
                                const QString& target) {
  fileOperationsBox().prepareRestoration(operationId, plan);
  if (!manager_) {
    manager_ = std::make_unique<FileOperationManager>(context());
    manager_->initialize();
  }
  ASSERT_EQ(manager_->createExternalRestoration(target, operationId), 0u);
  manager_->waitForJob(0);
}

void FileOperationsE2E::waitUntilIdle(const FileOperationManager& manager) {
  while (manager.runningCount() != 0 || manager.pendingCount() != 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

void FileOperationsE2E::expectRestored(const ExpectedTree& tree, const QString& root) {
  for (auto it = tree.begin(); it != tree.end(); ++it) {
    const QString path = root + treePath(it.key());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    EXPECT_TRUE(file.readAll() == it->content) << path.toStdString();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, it->lastWrite) << path.toStdString();
    EXPECT_EQ(st.st_mtim.tv_nsec, 0) << path.toStdString();
  }
}

QStringList FileOperationsE2E::stagedLeftovers(const QString& folder) const {
  QStringList found;
  QDirIterator it(folder, {QString::fromLatin1(StagedFile::kPrefix) + "*"},
                  QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
  while (it.hasNext()) found << it.next();
  return found;
}

void FileOperationsE2E::plantVersion(std::int64_t jobId, const QString& path,
                                     const QByteArray& content, std::int32_t lastWrite) {
  boxsim::BackupStore& store = box().store();
  auto draft = store.newDraft();
  ASSERT_TRUE(draft);
  QFile data(draft->contentPath());
  ASSERT_TRUE(data.open(QIODevice::WriteOnly));
  data.write(content);
  data.close();
  QFile signature(draft->signaturePath());
  ASSERT_TRUE(signature.open(QIODevice::WriteOnly));
  signature.close();
  ASSERT_TRUE(store.store(*draft, jobId, path, lastWrite, 0));
}

void FileOperationsE2E::plantLinksOut(const QString& target, const QString& outside) {
  ASSERT_TRUE(QDir().mkpath(outside));
  QFile secret(outside + "/secret.txt");
  ASSERT_TRUE(secret.open(QIODevice::WriteOnly));
  secret.write("keep me");
  secret.close();
  ASSERT_TRUE(QDir().mkpath(target + "/via"));
  ASSERT_TRUE(QFile::link(outside, target + "/via/link"));
  ASSERT_TRUE(QDir().mkpath(target + "/at"));
  ASSERT_TRUE(QFile::link(outside + "/secret.txt", target + "/at/secret.txt"));
}

void FileOperationsE2E::makeUnwritable(const QString& folder) {
  ASSERT_TRUE(QDir().mkpath(folder));
  // Root writes through permission bits; an immutable folder stops it too.
  if (::geteuid() == 0)
    ASSERT_EQ(kvn_test::runProgram("chattr", {"+i", folder.toStdString()}), 0);
  else
    ASSERT_EQ(::chmod(QFile::encodeName(folder).constData(), 0555), 0);
  unwritable_ << folder;
}

QString FileOperationsE2E::scratch(const QString& name) const {
  return QString::fromStdString(file(name.toStdString()));
}

}  // namespace kvn_e2e
