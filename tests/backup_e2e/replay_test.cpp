// A run against the simulated box, with every packet the box sent kept on
// the agent's side, replays through a scripted channel to the same file
// records and signatures: the recorded answers are what the answer fuzzer
// starts from, so they must lead the agent down the same path again. With
// KVN_RECORD_ANSWERS_TO set, the recordings are written to that folder in
// the fuzzer's input form.
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "backup_e2e_fixture.h"
#include "kvn_crypto/crypto_client.h"
#include "kvn_network/backup_protocol.h"
#include "kvn_network/net_client.h"
#include "replay_tree.h"
#include "scripted_channel.h"

namespace kvn_e2e {
namespace {

using kvn_network::NetPacket;

constexpr std::int64_t kJob = 43;

// A real connection to the box that keeps a copy of every packet it
// receives, from all three queues in the order they were taken.
class RecordingChannel : public kvn_network::PacketChannel {
 public:
  RecordingChannel(const QString& host, const Credentials& credentials)
      : client_(host, CZLVNetwork::kBoxPort, {5000, 60000}) {
    client_.connect(std::uint64_t(credentials.licenseStorage()), credentials.cryptkey());
  }

  bool SendPacket(NetPacket& packet, bool compress, bool encrypt) override {
    return client_.SendPacket(packet, compress, encrypt);
  }
  bool prepare(NetPacket& packet, bool compress, bool encrypt) override {
    return client_.prepare(packet, compress, encrypt);
  }
  void holdSends(bool hold) override { client_.holdSends(hold); }
  NetPacket receivePacket() override { return keep(client_.receivePacket()); }
  NetPacket receiveControlPacket() override { return keep(client_.receiveControlPacket()); }
  NetPacket receiveFilePacket() override { return keep(client_.receiveFilePacket()); }

  const kvn_crypto::Bytes& fileKey() const { return client_.crypto()->fileKey(); }
  const std::vector<NetPacket::Bytes>& received() const { return received_; }

 private:
  NetPacket keep(NetPacket packet) {
    received_.push_back(packet.bytes());
    return packet;
  }

  kvn_network::NetClient client_;
  std::vector<NetPacket::Bytes> received_;
};

// The packets in kvn_test::ScriptedChannel's input form; false when one
// does not fit it.
bool toScript(const std::vector<NetPacket::Bytes>& packets, QByteArray& script) {
  for (const auto& bytes : packets) {
    const std::size_t payload = bytes.size() - kvn_network::kPacketHeaderSize;
    if (payload > 0xFFFF) return false;
    script.append(char(bytes[0]));
    script.append(reinterpret_cast<const char*>(bytes.data()) + 1, 4);
    script.append(char(payload & 0xFF)).append(char(payload >> 8));
    script.append(reinterpret_cast<const char*>(bytes.data()) + kvn_network::kPacketHeaderSize,
                  qsizetype(payload));
  }
  return true;
}

bool hasPacket(const std::vector<NetPacket::Bytes>& packets,
               const std::function<bool(const NetPacket&)>& wanted) {
  for (const auto& bytes : packets) {
    if (wanted(NetPacket::fromBytes(bytes))) return true;
  }
  return false;
}

// What a run leaves on the agent's side: the job's file records (path ->
// last write) and the signature files (name below the folder -> bytes).
struct AgentState {
  std::map<QString, qlonglong> records;
  std::map<QString, QByteArray> signatures;
  bool operator==(const AgentState&) const = default;
};

class RecordedAnswers : public BackupE2E {
 protected:
  AgentState state() {
    AgentState state;
    QSqlQuery rows = sql(QString("SELECT path, lastwrite FROM file WHERE job_id=%1").arg(kJob));
    while (rows.next()) state.records[rows.value(0).toString()] = rows.value(1).toLongLong();
    const QDir folder(signaturesDir());
    QDirIterator it(signaturesDir(), QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
      QFile file(it.next());
      EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << file.fileName().toStdString();
      state.signatures[folder.relativeFilePath(file.fileName())] = file.readAll();
    }
    return state;
  }

  void restore(const AgentState& state) {
    sql(QString("DELETE FROM file WHERE job_id=%1").arg(kJob));
    for (const auto& [path, lastWrite] : state.records) {
      QSqlQuery insert(database().database());
      ASSERT_TRUE(insert.prepare("INSERT INTO file (path, job_id, lastwrite) VALUES (?, ?, ?)"));
      insert.addBindValue(path);
      insert.addBindValue(qlonglong(kJob));
      insert.addBindValue(lastWrite);
      ASSERT_TRUE(insert.exec());
    }
    ASSERT_TRUE(QDir(signaturesDir()).removeRecursively());
    const QDir folder(signaturesDir());
    for (const auto& [name, bytes] : state.signatures) {
      ASSERT_TRUE(QDir().mkpath(QFileInfo(folder.filePath(name)).path()));
      QFile file(folder.filePath(name));
      ASSERT_TRUE(file.open(QIODevice::WriteOnly));
      ASSERT_EQ(file.write(bytes), bytes.size());
    }
  }

  // A real run whose answers come back as a script.
  QByteArray recordedRun(const std::function<void(const std::vector<NetPacket::Bytes>&)>& check) {
    std::unique_ptr<RecordingChannel> recorder;
    setConnect([&](bool) {
      recorder = std::make_unique<RecordingChannel>(credentials().boxIp(), credentials());
      return std::make_unique<CZLVNetwork>(*recorder, credentials(),
                                           ChannelKeys{recorder->fileKey(), {}});
    });
    const RunOutcome run = runBackup(kJob);
    EXPECT_EQ(run.row.status, 0x1001);
    EXPECT_EQ(run.verify.failed, 0) << run.verify.mismatches.join("\n").toStdString();
    QByteArray script;
    if (!recorder) {
      ADD_FAILURE() << "the run never connected";
      return script;
    }
    check(recorder->received());
    EXPECT_TRUE(toScript(recorder->received(), script)) << "a packet too large for a script";
    setConnect({});
    return script;
  }

  // The same run with the box played from script: the row's status.
  std::int32_t replayedRun(const QByteArray& script) {
    kvn_test::ScriptedChannel channel(reinterpret_cast<const std::uint8_t*>(script.constData()),
                                      std::size_t(script.size()));
    setConnect([&](bool) {
      return std::make_unique<CZLVNetwork>(channel, credentials(),
                                           ChannelKeys{kvn_crypto::Bytes(32, 7), {}});
    });
    const std::int32_t status = runBackup(kJob).row.status;
    setConnect({});
    return status;
  }

  void keep(const QString& name, char setup, const QByteArray& script) {
    const QString folder = qEnvironmentVariable("KVN_RECORD_ANSWERS_TO");
    if (folder.isEmpty()) return;
    QFile file(QDir(folder).filePath(name));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    // The answer fuzzer's mode of a file backup run, then the agent's state
    // before the run (two bits a file: 0 new, 1 known with its signature,
    // 2 known without it).
    file.write(QByteArray(1, char(4)) + QByteArray(1, setup) + script);
  }
};

TEST_F(RecordedAnswers, ARecordedRunReplaysToTheSameRecordsAndSignatures) {
  startBoxAt("127.0.43.10");
  const auto files = kvn_test::replayTree();
  QStringList selected;
  for (const auto& file : files) {
    writeTreeFile(file.name, file.first, file.firstWrite);
    selected << treePath(file.name);
  }
  JobSettings plain;
  plain.crypto = false;
  plain.compression = false;
  addJob(kJob, selected, plain);

  // All new; the large file waits for a credit grant.
  const AgentState empty = state();
  const QByteArray first = recordedRun([](const auto& received) {
    EXPECT_TRUE(hasPacket(received, [](const NetPacket& packet) {
      return packet.type() == kvn_network::kTransferControlType;
    }));
  });
  const AgentState afterFirst = state();
  ASSERT_EQ(afterFirst.records.size(), files.size());
  restore(empty);
  EXPECT_EQ(replayedRun(first), 0x1001);
  EXPECT_EQ(state(), afterFirst);
  keep("backup_files_new", 0, first);

  // Deltas, one of them against a signature the agent lost and downloads.
  for (const auto& file : files) writeTreeFile(file.name, file.second, file.secondWrite);
  ASSERT_TRUE(QFile::remove(signaturePath(kJob, treePath("b.txt"), files[1].firstWrite)));
  const AgentState beforeSecond = state();
  const QByteArray second = recordedRun([](const auto& received) {
    EXPECT_TRUE(hasPacket(received, [](const NetPacket& packet) {
      return packet.type() == kvn_network::backup_type::kKnownFile;
    }));
    EXPECT_TRUE(hasPacket(received, [](const NetPacket& packet) { return packet.isFile(); }))
        << "no signature was downloaded";
  });
  const AgentState afterSecond = state();
  EXPECT_NE(afterSecond, afterFirst);
  restore(beforeSecond);
  EXPECT_EQ(replayedRun(second), 0x1001);
  EXPECT_EQ(state(), afterSecond);
  keep("backup_files_delta_download", 1 | 2 << 2 | 1 << 4, second);
}

}  // namespace
}  // namespace kvn_e2e
