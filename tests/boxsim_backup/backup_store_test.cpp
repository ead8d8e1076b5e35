// The box's store against a scripted agent: versions rebuilt from full
// sends and rsync deltas (with and without gzip and AES), aborted
// transfers, a store reopened by a new simulator, and the verify report.
#include <gtest/gtest.h>

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <algorithm>
#include <random>

#include "backup_client.h"
#include "boxsim/backup_store.h"
#include "boxsim/store_verifier.h"
#include "kvn_common/stream.h"
#include "kvn_log/errors.h"
#include "process_runner.h"
#include "temp_dir.h"
#include "thrown.h"

namespace {

using boxsim::JobDataSettings;
using kvn_network::NetPacket;
using kvn_test::BackupClient;
using kvn_test::BackupSim;
namespace type = boxsim::backup_type;

QByteArray randomBytes(int size, unsigned seed) {
  std::mt19937 random(seed);
  QByteArray bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
  return bytes;
}

// The next version of content: a changed stretch in the middle, a tail.
QByteArray edited(QByteArray content, unsigned seed) {
  const QByteArray patch = randomBytes(3000, seed);
  content.replace(content.size() / 2, std::min<qsizetype>(patch.size(), content.size() / 2), patch);
  return content + randomBytes(500, seed + 1);
}

void writeDisk(const QString& path, const QByteArray& content) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  ASSERT_EQ(file.write(content), content.size());
}

QByteArray readDisk(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

std::uint32_t errorCode(NetPacket answer) { return answer.isError() ? answer.getUInt32() : 0; }

// The agent's steps for one file sent whole; returns the final answer.
NetPacket backupFull(BackupClient& client, std::int64_t job, const QString& path,
                     std::int32_t lastWrite, const QByteArray& content,
                     const JobDataSettings& flags) {
  EXPECT_FALSE(client.info(path, content.size(), job).isError());
  EXPECT_FALSE(client.action("BACKUP").isError());
  const NetPacket described = client.describe(path, lastWrite, content.size());
  EXPECT_FALSE(described.isError());
  EXPECT_NE(described.type(), type::kKnownFile) << path.toStdString();
  return client.sendFull(content, flags);
}

// The same for a changed file; checks the box's answer to the description.
NetPacket backupDelta(BackupClient& client, std::int64_t job, const QString& path,
                      std::int32_t lastWrite, const QByteArray& previous,
                      std::int32_t previousLastWrite, const QByteArray& content,
                      const JobDataSettings& flags) {
  EXPECT_FALSE(client.info(path, content.size(), job).isError());
  EXPECT_FALSE(client.action("BACKUP").isError());
  NetPacket described = client.describe(path, lastWrite, content.size(), true);
  EXPECT_EQ(described.type(), type::kKnownFile);
  EXPECT_FALSE(described.isError());
  const QByteArray previousSignature = kvn_test::signatureOf(previous);
  EXPECT_EQ(described.getUInt64(), static_cast<std::uint64_t>(previousSignature.size()));
  EXPECT_EQ(described.getInt32(), previousLastWrite);
  return client.sendDelta(content, previousSignature, flags);
}

class StoreRoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(StoreRoundTrip, FullThenDeltasRebuildEveryVersion) {
  const JobDataSettings flags{(GetParam() & 1) != 0, (GetParam() & 2) != 0};
  kvn_test::TempDir dir;
  const QString data = QString::fromStdString(dir.file("data"));
  auto box = std::make_shared<boxsim::BackupBox>(QString::fromStdString(dir.file("store")));
  box->jobs().set(7, flags);
  BackupSim sim(100 + GetParam(), box);
  BackupClient client(100 + GetParam());

  // Larger than the credit window and than one AES block; a text; nothing.
  const QString big = data + "/big.bin";
  const QString text = data + "/sub dir/notes.txt";
  const QString empty = data + "/empty";
  QByteArray v1 = randomBytes(700000, 1);
  const QByteArray notes = QByteArray("line of text\n").repeated(2000);
  writeDisk(big, v1);
  writeDisk(text, notes);
  writeDisk(empty, {});

  ASSERT_FALSE(client.prep(7).isError());
  ASSERT_FALSE(client.ini(7, v1.size() + notes.size(), 3).isError());
  EXPECT_EQ(errorCode(backupFull(client, 7, big, 1000, v1, flags)), 0u);
  EXPECT_EQ(errorCode(backupFull(client, 7, text, 1001, notes, flags)), 0u);
  EXPECT_EQ(errorCode(backupFull(client, 7, empty, 1002, {}, flags)), 0u);
  boxsim::VerifyResult result = boxsim::verify(box->store(), data);
  EXPECT_EQ(result.passed, 3);
  EXPECT_EQ(result.failed, 0) << result.mismatches.join('\n').toStdString();

  // Two deltas in a row, each against the version before.
  const QByteArray v2 = edited(v1, 2);
  const QByteArray v3 = edited(v2, 3);
  EXPECT_EQ(errorCode(backupDelta(client, 7, big, 2000, v1, 1000, v2, flags)), 0u);
  EXPECT_EQ(errorCode(backupDelta(client, 7, big, 3000, v2, 2000, v3, flags)), 0u);
  writeDisk(big, v3);
  result = boxsim::verify(box->store(), data, 7);
  EXPECT_EQ(result.passed, 3);
  EXPECT_EQ(result.failed, 0) << result.mismatches.join('\n').toStdString();

  const std::vector<boxsim::StoredVersion> versions = box->store().versions(7, big);
  ASSERT_EQ(versions.size(), 3u);
  EXPECT_FALSE(versions[0].delta);
  EXPECT_TRUE(versions[1].delta);
  EXPECT_EQ(readDisk(versions[1].contentPath), v2);
  EXPECT_EQ(versions[2].lastWrite, 3000);
  EXPECT_EQ(readDisk(versions[2].signaturePath), kvn_test::signatureOf(v3));

  std::vector<std::uint32_t> kinds;
  for (const boxsim::BackupData& d : sim.record().backupData()) {
    EXPECT_TRUE(d.complete);
    if (d.path == big) kinds.push_back(d.kind);
  }
  EXPECT_EQ(kinds, (std::vector<std::uint32_t>{10, 11, 12, 11, 12, 11}));
}

// Bit 0: AES, bit 1: gzip.
INSTANTIATE_TEST_SUITE_P(CryptoAndCompression, StoreRoundTrip, ::testing::Values(0, 1, 2, 3));

TEST(BackupStoreTest, VerifyReportsChangedMissingAndUnknownFiles) {
  kvn_test::TempDir dir;
  const QString data = QString::fromStdString(dir.file("data"));
  auto box = std::make_shared<boxsim::BackupBox>();
  BackupSim sim(104, box);
  BackupClient client(104);
  ASSERT_FALSE(client.prep(3).isError());
  for (const char* name : {"same", "changed", "deleted"}) {
    writeDisk(data + "/" + name, name);
    EXPECT_EQ(errorCode(backupFull(client, 3, data + "/" + name, 10, name, {})), 0u);
  }
  // A file of another job outside the folder is none of this check's business.
  EXPECT_EQ(errorCode(backupFull(client, 4, "/elsewhere/x", 10, "x", {})), 0u);
  writeDisk(data + "/changed", "changed!");
  QFile::remove(data + "/deleted");
  writeDisk(data + "/new/file", "new");

  const boxsim::VerifyResult result = boxsim::verify(box->store(), data);
  EXPECT_EQ(result.passed, 1);
  EXPECT_EQ(result.failed, 3);
  EXPECT_EQ(result.mismatches,
            QStringList({"differs: " + data + "/changed (box v1 7 bytes, disk 8 bytes)",
                         "missing on box: " + data + "/new/file",
                         "missing on disk: " + data + "/deleted"}));
}

TEST(BackupStoreTest, BrokenTransfersNeverBecomeTheNewestVersion) {
  kvn_test::TempDir dir;
  const QString store = QString::fromStdString(dir.file("store"));
  auto box = std::make_shared<boxsim::BackupBox>(store);
  BackupSim sim(105, box);
  const QString path = "/data/big";
  const QByteArray v1 = randomBytes(600000, 5);
  {
    BackupClient client(105);
    ASSERT_FALSE(client.prep(1).isError());
    EXPECT_EQ(errorCode(backupFull(client, 1, path, 100, v1, {})), 0u);
  }

  // The box goes away in the middle of the delta, while it is applying it.
  boxsim::BackupScript drop;
  drop.closeAfterDataChunks = 2;
  box->setScript(drop);
  {
    BackupClient client(105);
    ASSERT_FALSE(client.prep(1).isError());
    // New content throughout, so that the delta runs over several chunks.
    EXPECT_ANY_THROW(backupDelta(client, 1, path, 200, v1, 100, randomBytes(600000, 6), {}));
  }
  box->setScript({});
  ASSERT_TRUE(sim.record().waitUntil([&](const boxsim::Record& r) {
    return !r.backupData().empty() && !r.backupData().back().complete;
  }));

  // The box refuses a full version part-way; the confirmation is refused too.
  sim.sim().setFaults([] {
    boxsim::FaultScript refuse;
    refuse.refuseTransferAfterChunks = 1;
    return refuse;
  }());
  {
    BackupClient client(105);
    ASSERT_FALSE(client.prep(1).isError());
    ASSERT_EQ(client.describe(path, 300, v1.size(), true).type(), type::kKnownFile);
    client.sendFullData(randomBytes(200000, 7), {});
    client.sendSignature(kvn_test::signatureOf("x"));
    EXPECT_EQ(errorCode(client.confirm(type::kFullConfirm)), boxsim::box_code::kRefused);
  }
  sim.sim().setFaults({});

  // Still version 1, as the box tells the agent, and no draft left behind.
  BackupClient client(105);
  ASSERT_FALSE(client.prep(1).isError());
  NetPacket described = client.describe(path, 400, v1.size(), true);
  ASSERT_EQ(described.type(), type::kKnownFile);
  EXPECT_EQ(described.getUInt64(), static_cast<std::uint64_t>(kvn_test::signatureOf(v1).size()));
  EXPECT_EQ(described.getInt32(), 100);
  ASSERT_EQ(box->store().versions(1, path).size(), 1u);
  EXPECT_EQ(readDisk(box->store().newest(1, path)->contentPath), v1);
  EXPECT_TRUE(QDir(store + "/.staging").isEmpty());
  // A delta confirmed without its data is refused as well.
  EXPECT_FALSE(client.confirm(type::kDeltaAnnounce).isError());
  EXPECT_EQ(errorCode(client.confirm(type::kDeltaConfirm)), boxsim::box_code::kRefused);
}

// The box rebuilds a delta's version while the delta arrives: copies and
// literals that span many transfer chunks and many patch outputs, through
// gzip and AES, give the exact new content and nothing but the layout.
TEST(BackupStoreTest, ADeltaOverManyChunksIsAppliedAsItArrives) {
  kvn_test::TempDir dir;
  const QString store = QString::fromStdString(dir.file("store"));
  const JobDataSettings flags{true, true};
  auto box = std::make_shared<boxsim::BackupBox>(store);
  box->jobs().set(4, flags);
  BackupSim sim(113, box);
  BackupClient client(113);
  ASSERT_FALSE(client.prep(4).isError());
  const QString path = "/data/large";
  const QByteArray v1 = randomBytes(3 << 20, 20);
  EXPECT_EQ(errorCode(backupFull(client, 4, path, 10, v1, flags)), 0u);

  // Scattered edits, a new stretch longer than one chunk, a cut tail, and
  // the file's start moved back: copies of the basis in any order.
  QByteArray v2 = v1;
  for (int at = 100000; at + 8192 < v2.size(); at += 300000)
    v2.replace(at, 8192, randomBytes(8192, static_cast<unsigned>(at)));
  v2.insert(1 << 20, randomBytes(1500000, 21));
  v2.truncate(v2.size() - 70000);
  v2 += v1.left(500000);
  EXPECT_EQ(errorCode(backupDelta(client, 4, path, 20, v1, 10, v2, flags)), 0u);

  const std::optional<boxsim::StoredVersion> newest = box->store().newest(4, path);
  ASSERT_TRUE(newest);
  EXPECT_EQ(newest->number, 2);
  EXPECT_EQ(newest->size, v2.size());
  EXPECT_EQ(readDisk(newest->contentPath), v2);
  const QDir version = QFileInfo(newest->contentPath).dir();
  EXPECT_EQ(version.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name),
            QStringList({"content", "meta", "signature"}));
  EXPECT_TRUE(QDir(store + "/.staging").isEmpty());
}

// A delta that stops applying part-way (it copies from beyond the end of
// the stored version) is still taken whole off the connection; the
// confirmation is refused, nothing is stored, and the next delta on the
// same connection is applied as usual.
TEST(BackupStoreTest, ADeltaThatFailsPartWayIsRefusedAndLeavesNothing) {
  kvn_test::TempDir dir;
  const QString store = QString::fromStdString(dir.file("store"));
  auto box = std::make_shared<boxsim::BackupBox>(store);
  BackupSim sim(114, box);
  BackupClient client(114);
  ASSERT_FALSE(client.prep(1).isError());
  const QString path = "/data/grown";
  const QByteArray v1 = randomBytes(1 << 20, 30);
  EXPECT_EQ(errorCode(backupFull(client, 1, path, 10, v1, {})), 0u);

  // Made against a longer basis than the box holds: its copies of that
  // longer part lie in the middle, between long literals.
  const QByteArray longer = v1 + randomBytes(400000, 31);
  const QByteArray content =
      randomBytes(1500000, 32) + longer.mid(v1.size()) + randomBytes(1500000, 33);
  ASSERT_FALSE(client.info(path, content.size(), 1).isError());
  ASSERT_EQ(client.describe(path, 20, content.size(), true).type(), type::kKnownFile);
  EXPECT_EQ(errorCode(client.sendDelta(content, kvn_test::signatureOf(longer), {})),
            boxsim::box_code::kRefused);
  EXPECT_TRUE(sim.record().notes().contains("not stored " + path + ": the delta does not apply"))
      << sim.record().notes().join('\n').toStdString();
  const std::vector<boxsim::BackupData> data = sim.record().backupData();
  ASSERT_FALSE(data.empty());
  EXPECT_TRUE(std::all_of(data.begin(), data.end(), [](const auto& d) { return d.complete; }));
  ASSERT_EQ(box->store().versions(1, path).size(), 1u);
  EXPECT_EQ(readDisk(box->store().newest(1, path)->contentPath), v1);
  EXPECT_TRUE(QDir(store + "/.staging").isEmpty());

  const QByteArray v2 = edited(v1, 34);
  EXPECT_EQ(errorCode(backupDelta(client, 1, path, 30, v1, 10, v2, {})), 0u);
  EXPECT_EQ(readDisk(box->store().newest(1, path)->contentPath), v2);
}

TEST(BackupStoreTest, AStoreOutlivesItsSimulatorAndTheProgramVerifiesIt) {
  kvn_test::TempDir dir;
  const QString store = QString::fromStdString(dir.file("store"));
  const QString data = QString::fromStdString(dir.file("data"));
  const QString path = data + "/file";
  const QByteArray v1 = randomBytes(100000, 8);
  const QByteArray v2 = edited(v1, 9);
  const JobDataSettings flags{true, true};
  {
    auto box = std::make_shared<boxsim::BackupBox>(store);
    box->jobs().set(2, flags);
    BackupSim sim(106, box);
    BackupClient client(106);
    ASSERT_FALSE(client.prep(2).isError());
    EXPECT_EQ(errorCode(backupFull(client, 2, path, 50, v1, flags)), 0u);
  }
  // A draft a killed simulator left behind goes away at the next open.
  QDir().mkpath(store + "/.staging/left-over");
  auto box = std::make_shared<boxsim::BackupBox>(store);
  EXPECT_FALSE(QFileInfo::exists(store + "/.staging/left-over"));
  box->jobs().set(2, flags);
  BackupSim sim(107, box);
  BackupClient client(107);
  ASSERT_FALSE(client.prep(2).isError());
  EXPECT_EQ(errorCode(backupDelta(client, 2, path, 60, v1, 50, v2, flags)), 0u);
  EXPECT_EQ(box->store().newest(2, path)->number, 2);
  // Nothing but the layout is left: no half-written names beside it.
  const QDir fileFolder(store + "/job-2/" +
                        QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha1).toHex());
  const auto names = [](const QDir& folder) {
    return folder.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
  };
  EXPECT_EQ(names(fileFolder), QStringList({"path", "v1", "v2"}));
  EXPECT_EQ(readDisk(fileFolder.filePath("path")), path.toUtf8());
  EXPECT_EQ(names(QDir(fileFolder.filePath("v2"))), QStringList({"content", "meta", "signature"}));
  EXPECT_EQ(readDisk(fileFolder.filePath("v1/meta")),
            QString("lastWrite=50\nsize=%1\nsignatureSize=%2\nkind=full\n")
                .arg(v1.size())
                .arg(QFileInfo(fileFolder.filePath("v1/signature")).size())
                .toUtf8());
  EXPECT_EQ(readDisk(fileFolder.filePath("v2/meta")),
            QString("lastWrite=60\nsize=%1\nsignatureSize=%2\nkind=delta\n")
                .arg(v2.size())
                .arg(QFileInfo(fileFolder.filePath("v2/signature")).size())
                .toUtf8());
  EXPECT_EQ(readDisk(store + "/index.txt"),
            QString("# job\tversion\tkind\tsize\tlastWrite\tpath\n"
                    "2\t1\tfull\t%1\t50\t%3\n2\t2\tdelta\t%2\t60\t%3\n")
                .arg(v1.size())
                .arg(v2.size())
                .arg(path)
                .toUtf8());

  // The check only reads: a simulator may still be putting a version together.
  QDir().mkpath(store + "/.staging/busy");
  kvn_test::ProcessRunner program(BOXSIM_BINARY);
  writeDisk(path, v2);
  kvn_test::ProcessResult run = program.run({"--store", store, "--verify", data});
  EXPECT_EQ(run.exitCode, 0) << run.standardError.toStdString();
  EXPECT_EQ(run.standardOutput, "1 passed, 0 failed\n");
  EXPECT_TRUE(QFileInfo::exists(store + "/.staging/busy"));
  writeDisk(path, v1);
  run = program.run({"--store", store, "--verify", data, "--job", "2"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.standardOutput,
            QString("differs: %1 (box v2 %2 bytes, disk %3 bytes)\n0 passed, 1 failed\n")
                .arg(path)
                .arg(v2.size())
                .arg(v1.size()));
  run = program.run({"--store", store, "--verify", data, "--job", "5"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.standardOutput, "missing on box: " + path + "\n0 passed, 1 failed\n");
}

// A simulator killed between making a file's folder and writing its path
// leaves the folder with an empty path file and no version. The next
// version of that path must label the folder again, or a reopened store
// files the version under an empty path and loses it.
TEST(BackupStoreTest, AFolderLeftWithoutItsPathIsLabelledByTheNextVersion) {
  kvn_test::TempDir dir;
  const QString store = QString::fromStdString(dir.file("store"));
  const QString path = "/data/left by a crash";
  const QString folder =
      store + "/job-2/" + QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha1).toHex();
  writeDisk(folder + "/path", {});
  {
    boxsim::BackupStore backups(store);
    const std::unique_ptr<boxsim::BackupStore::Draft> draft = backups.newDraft();
    ASSERT_TRUE(draft);
    writeDisk(draft->contentPath(), "hello");
    writeDisk(draft->signaturePath(), "signature");
    ASSERT_TRUE(backups.store(*draft, 2, path, 50, 0));
  }
  EXPECT_EQ(readDisk(folder + "/path"), path.toUtf8());
  const boxsim::BackupStore reopened(store);
  const std::optional<boxsim::StoredVersion> newest = reopened.newest(2, path);
  ASSERT_TRUE(newest);
  EXPECT_EQ(newest->number, 1);
  EXPECT_EQ(readDisk(newest->contentPath), "hello");
}

// A draft's files are made from the store's folder; one that cannot be
// made or written must fail loudly, never leave a short file for a version.
TEST(BackupStoreTest, DraftFilesAreWrittenWholeOrFailWithTheServerCode) {
  kvn_test::TempDir dir;
  boxsim::BackupStore backups(QString::fromStdString(dir.file("store")));
  const std::unique_ptr<boxsim::BackupStore::Draft> draft = backups.newDraft();
  ASSERT_TRUE(draft);
  {
    const std::unique_ptr<kvn_common::StreamSink> sink = backups.createFile(draft->contentPath());
    const QByteArray first = randomBytes(70000, 5);
    sink->write(first.constData(), std::uint32_t(first.size()));
    sink->write("tail", 4);
    sink->end();
    EXPECT_EQ(readDisk(draft->contentPath()), first + "tail");
  }
  // Outside the store's folder the path is taken as it is.
  const QString outside = QString::fromStdString(dir.file("outside"));
  backups.createFile(outside)->end();
  EXPECT_TRUE(QFile::exists(outside));

  const KvnCommonException missing =
      kvn_test::thrownBy([&] { backups.createFile(draft->contentPath() + "/below/a/file"); });
  EXPECT_EQ(missing.code, KVN_E_SERVER);
  if (QFile::exists("/dev/full")) {
    const KvnCommonException written = kvn_test::thrownBy([&] {
      const std::unique_ptr<kvn_common::StreamSink> devFull = backups.createFile("/dev/full");
      devFull->write("x", 1);
    });
    EXPECT_EQ(written.code, KVN_E_SERVER);
  }
}

TEST(BackupStoreTest, TheProgramPrintsEachStoredVersion) {
  kvn_test::TempDir dir;
  QProcess box;
  box.setProgram(BOXSIM_BINARY);
  box.setArguments({"--listen", "127.0.0.112", "--https-port", "0", "--cryptkey",
                    "00112233445566778899aabbccddeeff", "--license", "4711", "--store",
                    QString::fromStdString(dir.file("store")), "--job", "3:compression"});
  box.start();
  QString output;
  while (!output.contains("boxsim ready:") && box.waitForReadyRead(60000))
    output += QString::fromUtf8(box.readAllStandardOutput());
  ASSERT_TRUE(output.contains("boxsim ready:")) << output.toStdString();
  {
    BackupClient client(112);
    ASSERT_FALSE(client.prep(3).isError());
    EXPECT_EQ(errorCode(backupFull(client, 3, "/d/f", 1, "hello", {false, true})), 0u);
  }
  box.terminate();
  ASSERT_TRUE(box.waitForFinished(30000));
  output += QString::fromUtf8(box.readAllStandardOutput());
  EXPECT_TRUE(output.contains("\nstored /d/f v1 5 bytes (full)\n")) << output.toStdString();
}

}  // namespace
