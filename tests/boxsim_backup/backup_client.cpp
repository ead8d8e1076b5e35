#include "backup_client.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "boxsim/file_handlers.h"
#include "boxsim/operation_handlers.h"
#include "kvn_common/stream.h"
#include "kvn_compression/deflate_stream.h"
#include "kvn_crypto/aes_stream.h"
#include "kvn_crypto/rsa.h"
#include "kvn_log/exception.h"
#include "kvn_network/file_transfer.h"
#include "kvn_rsync/block_length.h"
#include "kvn_rsync/delta_stream.h"
#include "kvn_rsync/signature_stream.h"

namespace kvn_test {

namespace {

using kvn_network::NetPacket;
namespace type = boxsim::backup_type;

constexpr const char* kCryptkey = "00112233445566778899aabbccddeeff";
constexpr std::uint64_t kStorageLicence = 4711;

// Shared keys, so that each simulator starts fast.
const boxsim::BoxIdentity& identity() {
  static const boxsim::BoxIdentity id{kCryptkey,
                                      0,
                                      0,
                                      kvn_crypto::generateRsaKeyPair(),
                                      kvn_crypto::generateRsaKeyPair(),
                                      kvn_crypto::Bytes(32, 0x5A)};
  return id;
}

QString address(int n) { return QString("127.0.0.%1").arg(n); }

class ByteArraySink : public kvn_common::StreamSink {
 public:
  void write(const char* data, std::uint32_t size) override { bytes.append(data, size); }
  void end() override {}
  QByteArray bytes;
};

void pushAll(kvn_common::StreamSink& head, const QByteArray& content) {
  constexpr qsizetype kBlock = 0x10000;
  for (qsizetype at = 0; at < content.size(); at += kBlock)
    head.write(content.constData() + at,
               static_cast<std::uint32_t>(std::min(kBlock, content.size() - at)));
  head.end();
}

}  // namespace

BackupSim::BackupSim(int n, std::shared_ptr<boxsim::BackupBox> box,
                     const boxsim::FaultScript& faults)
    : box_(std::move(box)) {
  boxsim::Registry registry;
  boxsim::addFileHandlers(registry);
  boxsim::addOperationHandlers(registry);
  boxsim::addBackupHandlers(registry, box_);
  boxsim::SimulatorConfig config;
  config.address = address(n);
  config.identity = identity();
  config.faults = faults;
  config.settings = {5000, 60000};
  simulator_ = std::make_unique<boxsim::BoxSimulator>(std::move(registry), config);
  EXPECT_TRUE(simulator_->start());
}

QByteArray signatureOf(const QByteArray& content) {
  kvn_rsync::SignatureStream signature(kvn_rsync::blockLength(content.size()));
  ByteArraySink sink;
  signature.setNext(&sink);
  pushAll(signature, content);
  return sink.bytes;
}

BackupClient::BackupClient(int n)
    : client_(std::make_unique<kvn_network::NetClient>(address(n), boxsim::kBoxPort,
                                                       kvn_network::NetSettings{5000, 10000})) {
  client_->connect(kStorageLicence, kCryptkey);
}

NetPacket BackupClient::answer(NetPacket& request) {
  EXPECT_TRUE(client_->SendPacket(request, true, true));
  return client_->receivePacket();
}

NetPacket BackupClient::prep(std::int64_t jobId) {
  NetPacket p(type::kAction);
  p.putString(std::string("PREP"));
  p.putInt64(jobId);
  return answer(p);
}

NetPacket BackupClient::ini(std::int64_t jobId, std::int64_t bytes, std::int32_t files) {
  NetPacket p(type::kAction);
  p.putString(std::string("INI"));
  p.putInt64(jobId);
  p.putInt64(bytes);
  p.putInt32(files);
  return answer(p);
}

NetPacket BackupClient::info(const QString& path, std::int64_t size, std::int64_t jobId) {
  NetPacket p(type::kAction);
  p.putString(std::string("INFO"));
  p.putString(path);
  p.putInt64(size);
  p.putInt64(jobId);
  p.putString(std::string());
  return answer(p);
}

NetPacket BackupClient::action(const QString& name) {
  NetPacket p(type::kAction);
  p.putString(name);
  return answer(p);
}

NetPacket BackupClient::scriptResult(const QString& output, std::int32_t exitCode,
                                     std::uint8_t kind) {
  NetPacket p(type::kScriptResult);
  p.putString(output);
  p.putInt32(exitCode);
  p.putUInt8(kind);
  return answer(p);
}

NetPacket BackupClient::describe(const QString& path, std::int32_t lastWrite, std::int64_t size,
                                 bool hasPrevious) {
  NetPacket p(type::kDescription);
  p.putString(QString(path).replace('/', '|'));
  p.putInt32(lastWrite);
  p.putByteArray(QByteArray(16, 'd'));
  p.putInt64(size);
  p.putInt64(0);
  p.putUInt16(5);
  p.putUInt8(hasPrevious ? 1 : 0);
  p.putUInt8(1);
  p.putInt32(hasPrevious ? 2 : 1);
  p.putInt32(0);
  p.putUInt8(0);
  const kvn_crypto::Bytes& key = client_->crypto()->fileKey();
  p.putByteArray(key.data(), key.size());
  return answer(p);
}

NetPacket BackupClient::confirm(std::uint32_t packetType) {
  NetPacket p(packetType);
  return answer(p);
}

NetPacket BackupClient::report(std::uint32_t packetType, std::uint32_t code, const QString& text) {
  NetPacket p(packetType);
  p.setError();
  p.putUInt32(code);
  p.putString(text);
  EXPECT_TRUE(client_->SendPacket(p, false, false));
  return client_->receivePacket();
}

void BackupClient::sendData(std::uint32_t kind, kvn_common::StreamLink* first,
                            const QByteArray& content, const boxsim::JobDataSettings& job) {
  // Data the chain has encrypted is not encrypted again by the connection.
  kvn_network::NetClientSendFileSink sink(*client_, type::kData, kind, !job.useCrypto, false);
  kvn_compression::DeflateStream deflate(0x10000);
  kvn_crypto::EncryptStream encrypt(client_->crypto()->dataCipher(),
                                    kvn_crypto::EncryptStream::kFileBlockSize);
  kvn_common::StreamChain chain;
  if (first != nullptr) chain.append(*first);
  if (job.useCompression) chain.append(deflate);
  if (job.useCrypto) chain.append(encrypt);
  chain.append(sink);
  pushAll(*chain.head(), content);
}

void BackupClient::sendFullData(const QByteArray& content, const boxsim::JobDataSettings& job) {
  sendData(boxsim::data_kind::kFull, nullptr, content, job);
}

void BackupClient::sendDeltaData(const QByteArray& content, const QByteArray& previousSignature,
                                 const boxsim::JobDataSettings& job) {
  QByteArray copy = previousSignature;
  std::FILE* file = fmemopen(copy.data(), static_cast<std::size_t>(copy.size()), "rb");
  ASSERT_NE(file, nullptr);
  {
    kvn_rsync::DeltaStream delta(file);
    sendData(boxsim::data_kind::kDelta, &delta, content, job);
  }
  std::fclose(file);
}

void BackupClient::sendSignature(const QByteArray& signature) {
  kvn_network::FileSender sender(*client_, "?", type::kData, boxsim::data_kind::kSignature,
                                 static_cast<std::uint64_t>(signature.size()), false, false);
  if (!signature.isEmpty())
    sender.sendChunk(0, signature.constData(), static_cast<std::uint32_t>(signature.size()), false);
  sender.finish();
}

NetPacket BackupClient::sendFull(const QByteArray& content, const boxsim::JobDataSettings& job) {
  sendFullData(content, job);
  sendSignature(signatureOf(content));
  return confirm(type::kFullConfirm);
}

NetPacket BackupClient::sendDelta(const QByteArray& content, const QByteArray& previousSignature,
                                  const boxsim::JobDataSettings& job) {
  NetPacket announced = confirm(type::kDeltaAnnounce);
  if (announced.isError()) return announced;
  sendDeltaData(content, previousSignature, job);
  sendSignature(signatureOf(content));
  return confirm(type::kDeltaConfirm);
}

NetPacket BackupClient::requestSignature(const QString& path, const QString& file, bool& received) {
  NetPacket p(type::kSignatureRequest);
  p.putString(QString(path).replace('/', '|'));
  EXPECT_TRUE(client_->SendPacket(p, true, true));
  received = false;
  try {
    client_->fileController().receiveFile(file);
    received = true;
  } catch (const KvnCommonException&) {
  }
  return client_->receivePacket();
}

}  // namespace kvn_test
