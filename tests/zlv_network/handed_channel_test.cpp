// The facade over a channel it did not make, and the conversations that
// take their connection from a factory: they run on a scripted box, and a
// box that goes away ends them at once however many files it announced.
#include <gtest/gtest.h>

#include <QSqlQuery>

#include "backup/actionanswer.h"
#include "connection/credentials.h"
#include "connection/zlvnetwork.h"
#include "fileops/externaldeletion.h"
#include "fresh_database.h"
#include "kvn_log/errors.h"
#include "kvn_log/exception.h"
#include "kvn_network/backup_protocol.h"
#include "kvn_network/file_operation_protocol.h"
#include "scripted_channel.h"

namespace {

using kvn_network::NetPacket;

NetPacket answer(std::uint32_t type, bool error = false) {
  NetPacket packet(type);
  if (error) packet.setError();
  return packet;
}

NetPacket errorAnswer(std::uint32_t type, std::uint32_t code) {
  NetPacket packet = answer(type, true);
  packet.putUInt32(code);
  return packet;
}

class HandedChannel : public kvn_test::FreshDatabase {
 protected:
  Credentials credentials_{QString::fromStdString(file("zlv.ini"))};
  kvn_test::ScriptedChannel channel_;
};

TEST_F(HandedChannel, TheFacadeRunsOverItWithItsKeys) {
  CZLVNetwork network(channel_, credentials_, {kvn_crypto::Bytes(32, 7), {}});
  EXPECT_TRUE(network.isConnected());
  EXPECT_EQ(network.client(), nullptr);
  EXPECT_EQ(network.ConnectToServer(), KVN_OK);
  EXPECT_EQ(network.fileKey(), kvn_crypto::Bytes(32, 7));
  EXPECT_THROW(network.dataCipher(), KvnCommonException) << "no data key was given";

  channel_.push(errorAnswer(1, 0x10080000));
  EXPECT_EQ(network.SendOperation("BCK_INITIAL"), KVN_E_SERVER_STATUS);
  channel_.push(errorAnswer(5, 1));
  try {
    network.receiveChecked();
    ADD_FAILURE() << "an error answer must throw";
  } catch (const KvnCommonException& e) {
    EXPECT_EQ(e.code, KVN_E_INVALID_REPLY);
  }
  // Used up: the connection counts as closed.
  EXPECT_EQ(network.SendOperation("BCK_INITIAL"), KVN_E_NETWORK);
  EXPECT_FALSE(network.SendPacket(*std::make_unique<NetPacket>(3)));
}

TEST_F(HandedChannel, ActionAnswersBecomeCodes) {
  CZLVNetwork network(channel_, credentials_, {});
  NetPacket prep(kvn_network::backup_type::kReport);
  prep.putStringList({"|data|a.txt", "|data|b|c.txt"});
  channel_.push(prep);
  channel_.push(errorAnswer(kvn_network::backup_type::kAction, kvn_network::box_code::kQuota));
  channel_.push(errorAnswer(kvn_network::backup_type::kAction, 77));
  channel_.push(answer(kvn_network::backup_type::kAction, true));  // error without its code
  channel_.push(
      errorAnswer(kvn_network::backup_type::kReport, kvn_network::box_code::kNotPermitted));

  EXPECT_EQ(readPrepAnswer(network).sendAgain, QStringList({"/data/a.txt", "/data/b/c.txt"}));
  const ActionAnswer quota = readActionAnswer(network, "INI");
  EXPECT_EQ(quota.result, KVN_E_ACTION_REFUSED);
  EXPECT_TRUE(quota.limitExceeded);
  EXPECT_EQ(readActionAnswer(network, "END").result, KVN_E_INVALID_REPLY);
  EXPECT_EQ(readFinalAnswer(network), KVN_E_NETWORK);
  EXPECT_THROW(readPrepAnswer(network), KvnNotPermittedException);
  EXPECT_EQ(readActionAnswer(network, "END").result, KVN_E_NETWORK);
}

TEST_F(HandedChannel, AnExternalDeletionEndsWhenTheBoxGoesAwayWhateverItsCount) {
  namespace extdel = kvn_network::external_deletion_type;
  sql("INSERT INTO file (path, job_id, lastwrite) VALUES ('/data/a.txt', 1, 1000), "
      "('/data/b.txt', 1, 1000);");
  channel_.push(answer(1));
  NetPacket count(extdel::kCount);
  count.putInt32(0x7fffffff);
  count.putUInt64(0);
  channel_.push(count);
  channel_.push(answer(extdel::kAction));
  NetPacket named(extdel::kNext);
  named.putString(std::string("|data|a.txt"));
  named.putUInt64(1);
  named.putInt32(0);
  channel_.push(named);

  FileOperationContext context;
  context.credentials = &credentials_;
  context.signaturesDir = QDir(QString::fromStdString(file("Signatures")));
  context.connect = [this](bool) {
    return std::make_unique<CZLVNetwork>(channel_, credentials_, ChannelKeys{});
  };
  ExternalDeletion deletion("op-1", context);
  QSqlDatabase db = database().database();
  EXPECT_EQ(deletion.execute(db), KVN_OK);
  EXPECT_EQ(deletion.processedFiles(), 1);
  EXPECT_LT(channel_.sent(), 10u);
  EXPECT_EQ(scalar("SELECT group_concat(path) FROM file;").toString(), "/data/b.txt");
}

}  // namespace
