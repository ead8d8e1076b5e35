// A tree backed up whole, then its edits sent as deltas, a lost signature
// fetched back from the box, and every combination of encryption and
// compression; the box's store must equal the files byte for byte.
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <functional>
#include <map>

#include "backup_e2e_fixture.h"
#include "boxsim/backup_store.h"

namespace kvn_e2e {
namespace {

constexpr std::time_t kFirstWrite = 1700000000;
constexpr std::time_t kSecondWrite = 1700100000;
constexpr qsizetype kMiB = 1024 * 1024;

// The last description of path the box received.
boxsim::FileDescription lastDescription(const boxsim::Record& record, const QString& path) {
  boxsim::FileDescription found;
  for (const auto& d : record.descriptions()) {
    if (d.path == path) found = d;
  }
  return found;
}

QByteArray text(qsizetype size, const QByteArray& word) {
  QByteArray bytes;
  while (bytes.size() < size) bytes += word + QByteArray::number(bytes.size()) + "\n";
  bytes.truncate(size);
  return bytes;
}

using FullAndDelta = BackupE2E;

TEST_F(FullAndDelta, NewTreeThenEditsAsDeltasThenALostSignatureFetchedBack) {
  constexpr std::int64_t kJob = 7;
  startBox(140);
  // Sizes around the 16 MiB limit of the threaded signature, and names the
  // wire and the database must carry unchanged.
  const std::map<QString, QByteArray> files = {
      {"empty", {}},
      {"one byte.bin", "x"},
      {"big/four MiB.bin", noise(4 * kMiB, 1)},
      {"big/just under 16.bin", noise(16 * kMiB - 1, 2)},
      {"big/exactly 16.bin", noise(16 * kMiB, 3)},
      {"big/forty.bin", noise(40 * kMiB, 4)},
      {QString::fromUtf8("naïve dossier/résumé €.txt"), text(300000, "ünïcödé ")},
      {"text.txt", text(200000, "line ")},
  };
  std::map<QString, std::time_t> lastWrites;
  std::time_t when = kFirstWrite;
  for (const auto& [name, content] : files) {
    writeTreeFile(name, content, when);
    lastWrites[name] = when++;
  }
  addJob(kJob, {tree()});

  RunOutcome run = runBackup(kJob);
  EXPECT_EQ(run.result, 0u);
  EXPECT_EQ(run.row.status, 0x1001);
  EXPECT_EQ(run.row.errors, 0);
  EXPECT_EQ(run.row.modifiedFiles, 0);
  EXPECT_TRUE(run.row.lastTime.isValid() && !run.row.lastTime.isNull());
  EXPECT_EQ(run.verify.failed, 0) << run.verify.mismatches.join("\n").toStdString();
  EXPECT_EQ(run.verify.passed, int(files.size()));
  auto kinds = transfers(record(), 0, kJob);
  for (const auto& [name, content] : files) {
    const QString path = treePath(name);
    EXPECT_TRUE(sent(kinds, path, 10) && sent(kinds, path, 11)) << path.toStdString();
    EXPECT_EQ(recordedLastWrite(kJob, path), QVariant(qlonglong(lastWrites[name])))
        << path.toStdString();
    EXPECT_TRUE(QFileInfo::exists(signaturePath(kJob, path, lastWrites[name])))
        << path.toStdString();
    const boxsim::FileDescription d = lastDescription(record(), path);
    EXPECT_EQ(d.size, content.size());
    EXPECT_EQ(d.lastWrite, lastWrites[name]);
    EXPECT_FALSE(d.hasPrevious);
    EXPECT_EQ(d.versionNumber, 1);
    EXPECT_EQ(d.previousLastWrite, 0);
  }
  const boxsim::FileDescription first = lastDescription(record(), treePath("text.txt"));
  EXPECT_EQ(first.maxVersions, 5);
  EXPECT_TRUE(first.boxPaired);
  EXPECT_EQ(first.fileKey.size(), 32);
  const QString textPath = treePath("text.txt");
  EXPECT_EQ(first.digest,
            QCryptographicHash::hash(
                QByteArray(reinterpret_cast<const char*>(textPath.utf16()), textPath.size() * 2),
                QCryptographicHash::Md5));

  // Edits of every kind, each with a new last write; the rest is untouched.
  std::map<QString, QByteArray> edited = files;
  edited["big/four MiB.bin"].append(noise(5000, 5));
  edited["big/just under 16.bin"].insert(8 * kMiB, QByteArray("inserted in the middle"));
  edited["big/forty.bin"].truncate(20 * kMiB);
  edited["text.txt"] = noise(150000, 6);
  const QStringList touched = {"big/four MiB.bin", "big/just under 16.bin", "big/forty.bin",
                               "text.txt", "big/exactly 16.bin"};
  const std::map<QString, std::time_t> firstWrites = lastWrites;
  when = kSecondWrite;
  for (const QString& name : touched) {
    writeTreeFile(name, edited[name], when);
    lastWrites[name] = when++;
  }
  const std::size_t before = record().backupData().size();
  run = runBackup(kJob);
  EXPECT_EQ(run.row.status, 0x1001);
  EXPECT_EQ(run.row.errors, 0);
  EXPECT_EQ(run.row.modifiedFiles, touched.size());
  EXPECT_EQ(run.verify.failed, 0) << run.verify.mismatches.join("\n").toStdString();
  EXPECT_EQ(run.verify.passed, int(files.size()));
  kinds = transfers(record(), before, kJob);
  for (const QString& name : touched) {
    const QString path = treePath(name);
    EXPECT_TRUE(sent(kinds, path, 12) && sent(kinds, path, 11)) << path.toStdString();
    EXPECT_FALSE(sent(kinds, path, 10)) << path.toStdString();
    EXPECT_EQ(recordedLastWrite(kJob, path), QVariant(qlonglong(lastWrites[name])));
    EXPECT_TRUE(QFileInfo::exists(signaturePath(kJob, path, lastWrites[name])));
    const boxsim::FileDescription d = lastDescription(record(), path);
    EXPECT_TRUE(d.hasPrevious);
    EXPECT_EQ(d.versionNumber, 2);
    EXPECT_EQ(d.previousLastWrite, firstWrites.at(name));
    EXPECT_EQ(d.answer, "known");
    // The signature of the version replaced is gone.
    EXPECT_FALSE(QFileInfo::exists(signaturePath(kJob, path, firstWrites.at(name))))
        << path.toStdString();
  }
  EXPECT_EQ(kinds.count(treePath("one byte.bin")), 0u);  // unchanged: not even described
  EXPECT_EQ(box().store().versions(kJob, treePath("big/forty.bin")).size(), 2u);

  // The agent lost the signature of the newest version: it asks the box
  // for it and still sends a delta.
  const QString lost = treePath("text.txt");
  ASSERT_TRUE(QFile::remove(signaturePath(kJob, lost, lastWrites["text.txt"])));
  writeTreeFile("text.txt", edited["text.txt"] + "appended after the loss", kSecondWrite + 100);
  const std::size_t beforeLoss = record().backupData().size();
  run = runBackup(kJob);
  EXPECT_EQ(run.row.status, 0x1001);
  EXPECT_EQ(run.row.errors, 0);
  EXPECT_EQ(run.row.modifiedFiles, 1);
  EXPECT_TRUE(record().notes().contains("signature request " + lost));
  kinds = transfers(record(), beforeLoss, kJob);
  EXPECT_TRUE(sent(kinds, lost, 12));
  EXPECT_FALSE(sent(kinds, lost, 10));
  EXPECT_EQ(run.verify.failed, 0) << run.verify.mismatches.join("\n").toStdString();
  EXPECT_TRUE(QFileInfo::exists(signaturePath(kJob, lost, kSecondWrite + 100)));
  EXPECT_NE(log().find("Downloading missing signature for file/volume " + lost.toStdString()),
            std::string::npos);
}

TEST_F(FullAndDelta, EveryCombinationOfEncryptionAndCompressionRoundTrips) {
  startBox(141);
  writeTreeFile("a.txt", text(300000, "compressible "), kFirstWrite);
  writeTreeFile("b.bin", noise(kMiB + 5, 7), kFirstWrite + 1);
  writeTreeFile("c/d.txt", "small", kFirstWrite + 2);
  struct Combination {
    std::int64_t job;
    bool crypto;
    bool compression;
  };
  const Combination combinations[] = {
      {51, false, false}, {52, true, false}, {53, false, true}, {54, true, true}};
  for (const auto& c : combinations) {
    JobSettings settings;
    settings.crypto = c.crypto;
    settings.compression = c.compression;
    addJob(c.job, {tree()}, settings);
    const RunOutcome run = runBackup(c.job);
    SCOPED_TRACE(testing::Message() << "job " << c.job);
    EXPECT_EQ(run.row.status, 0x1001);
    EXPECT_EQ(run.verify.failed, 0) << run.verify.mismatches.join("\n").toStdString();
    EXPECT_EQ(run.verify.passed, 3);
  }
  // Compression shows on the wire for the text file.
  for (const auto& data : record().backupData()) {
    if (data.kind != 10 || data.path != treePath("a.txt")) continue;
    const bool compressed = data.jobId == 53 || data.jobId == 54;
    EXPECT_EQ(data.wireBytes < data.bytes / 2, compressed) << "job " << data.jobId;
  }

  QByteArray b = noise(kMiB + 5, 7);
  b.insert(kMiB / 2, QByteArray("a change in the middle"));
  writeTreeFile("b.bin", b, kSecondWrite);
  writeTreeFile("a.txt", text(300000, "compressible ") + "more", kSecondWrite + 1);
  for (const auto& c : combinations) {
    const std::size_t before = record().backupData().size();
    const RunOutcome run = runBackup(c.job);
    SCOPED_TRACE(testing::Message() << "job " << c.job);
    EXPECT_EQ(run.row.status, 0x1001);
    EXPECT_EQ(run.row.modifiedFiles, 2);
    EXPECT_EQ(run.verify.failed, 0) << run.verify.mismatches.join("\n").toStdString();
    const auto kinds = transfers(record(), before, c.job);
    EXPECT_TRUE(sent(kinds, treePath("b.bin"), 12));
    EXPECT_TRUE(sent(kinds, treePath("a.txt"), 12));
  }
}

// Small new files are prepared on the preparer's thread while earlier ones
// are with the box; a run longer than the preparer's queue must still send
// every one of them from its prepared payload, not read some again.
TEST_F(FullAndDelta, EverySmallNewFileOfALongRunIsSentAsPrepared) {
  constexpr std::int64_t kJob = 9;
  constexpr int kFiles = 3 * 6 + 2;
  startBoxAt("127.0.52.20");
  for (int i = 0; i < kFiles; ++i)
    writeTreeFile(QString("small/f%1.txt").arg(i, 2, 10, QChar('0')),
                  text(1000 + 300 * i, "small "), kFirstWrite + i);
  addJob(kJob, {tree()});

  RunOutcome run = runBackup(kJob);
  EXPECT_EQ(run.result, 0u);
  EXPECT_EQ(run.row.errors, 0);
  EXPECT_EQ(run.verify.failed, 0) << run.verify.mismatches.join("\n").toStdString();
  EXPECT_EQ(run.verify.passed, kFiles);
  EXPECT_NE(log().find(QString("%1 of %1 small new files were sent as prepared ahead")
                           .arg(kFiles)
                           .toStdString()),
            std::string::npos);
}

// A file whose signature cannot be put into place (here a folder is in the
// way, so the prepared payload is given up and the ordinary way fails too)
// fails alone: the run counts the error, leaves no part file and records
// the file only once it has its signature; the next run then records it.
TEST_F(FullAndDelta, AFileWhoseSignatureCannotBePutInPlaceFailsAloneAndIsTakenNextRun) {
  constexpr std::int64_t kJob = 10;
  startBoxAt("127.0.52.21");
  constexpr int kFiles = 5;
  const auto name = [](int i) { return QString("small/f%1.txt").arg(i); };
  for (int i = 0; i < kFiles; ++i)
    writeTreeFile(name(i), text(2000 + 100 * i, "small "), kFirstWrite + i);
  const QString blocked = treePath(name(2));
  const QString signature = signaturePath(kJob, blocked, kFirstWrite + 2);
  // A folder that is not empty cannot be renamed over.
  ASSERT_TRUE(QDir().mkpath(signature + "/in the way"));
  addJob(kJob, {tree()});

  RunOutcome run = runBackup(kJob);
  EXPECT_EQ(run.row.errors, 1);
  EXPECT_FALSE(recordedLastWrite(kJob, blocked).isValid());
  EXPECT_FALSE(QFileInfo::exists(signature + ".part"));
  for (int i = 0; i < kFiles; ++i) {
    if (i == 2) continue;
    EXPECT_EQ(recordedLastWrite(kJob, treePath(name(i))), QVariant(qlonglong(kFirstWrite + i)));
    EXPECT_TRUE(QFileInfo::exists(signaturePath(kJob, treePath(name(i)), kFirstWrite + i)));
  }

  ASSERT_TRUE(QDir(signature).removeRecursively());
  run = runBackup(kJob);
  EXPECT_EQ(run.result, 0u);
  EXPECT_EQ(run.row.errors, 0);
  EXPECT_EQ(run.verify.failed, 0) << run.verify.mismatches.join("\n").toStdString();
  EXPECT_EQ(run.verify.passed, kFiles);
  EXPECT_EQ(recordedLastWrite(kJob, blocked), QVariant(qlonglong(kFirstWrite + 2)));
  EXPECT_TRUE(QFileInfo::exists(signature));
}

// What a power cut can leave of a signature that was renamed into place
// without a flush: an empty file, a file cut inside an entry or at an
// entry's end, or zeros of the right length. Each must be noticed before
// it serves as a delta's basis; the box's copy is then fetched and the
// delta still rebuilds the new version.
TEST_F(FullAndDelta, TornSignaturesAreReplacedByTheBoxsCopy) {
  constexpr std::int64_t kJob = 8;
  startBoxAt("127.0.30.40");
  const std::map<QString, QByteArray> files = {
      {"empty.txt", text(300000, "empty ")},
      {"cut inside.txt", text(300000, "inside ")},
      {"cut at entry.txt", text(300000, "entry ")},
      {"zeros.txt", text(300000, "zeros ")},
  };
  for (const auto& [name, content] : files) writeTreeFile(name, content, kFirstWrite);
  addJob(kJob, {tree()});
  RunOutcome run = runBackup(kJob);
  ASSERT_EQ(run.row.status, 0x1001);

  const auto tear = [&](const QString& name, const std::function<QByteArray(QByteArray)>& how) {
    QFile file(signaturePath(kJob, treePath(name), kFirstWrite));
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    const QByteArray torn = how(file.readAll());
    ASSERT_TRUE(file.resize(0));
    ASSERT_TRUE(file.seek(0));
    ASSERT_EQ(file.write(torn), torn.size());
  };
  // The header is 12 bytes, each block's entry 12 more.
  tear("empty.txt", [](const QByteArray&) { return QByteArray(); });
  tear("cut inside.txt", [](const QByteArray& s) { return s.left(s.size() - 5); });
  tear("cut at entry.txt", [](const QByteArray& s) { return s.left(s.size() - 12); });
  tear("zeros.txt", [](const QByteArray& s) { return QByteArray(s.size(), '\0'); });

  for (const auto& [name, content] : files)
    writeTreeFile(name, content + "and an edit at the end", kSecondWrite);
  const std::size_t before = record().backupData().size();
  run = runBackup(kJob);
  EXPECT_EQ(run.row.status, 0x1001);
  EXPECT_EQ(run.row.errors, 0);
  EXPECT_EQ(run.verify.failed, 0) << run.verify.mismatches.join("\n").toStdString();
  const Transfers kinds = transfers(record(), before, kJob);
  for (const auto& [name, content] : files) {
    const QString path = treePath(name);
    EXPECT_TRUE(record().notes().contains("signature request " + path)) << path.toStdString();
    EXPECT_TRUE(sent(kinds, path, 12)) << path.toStdString();
    EXPECT_FALSE(sent(kinds, path, 10)) << path.toStdString();
  }
}

}  // namespace
}  // namespace kvn_e2e
