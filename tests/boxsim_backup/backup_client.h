// The agent's side of the backup conversation, scripted step by step from
// the network client and the stream elements the agent sends through, and
// a simulated box with the backup conversation on its own loopback address.
#pragma once

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <memory>

#include "boxsim/backup_handlers.h"
#include "boxsim/simulator.h"
#include "kvn_network/net_client.h"

namespace kvn_test {

// A box on 127.0.0.<n> serving every conversation, the backup one on box.
class BackupSim {
 public:
  BackupSim(int n, std::shared_ptr<boxsim::BackupBox> box, const boxsim::FaultScript& faults = {});

  boxsim::BoxSimulator& sim() { return *simulator_; }
  boxsim::Record& record() { return simulator_->record(); }
  boxsim::BackupBox& box() { return *box_; }
  void stop() { simulator_->stop(); }

 private:
  std::shared_ptr<boxsim::BackupBox> box_;
  std::unique_ptr<boxsim::BoxSimulator> simulator_;
};

// The rsync signature the agent would send for content.
QByteArray signatureOf(const QByteArray& content);

class BackupClient {
 public:
  // Connects to the box on 127.0.0.<n> and negotiates.
  explicit BackupClient(int n);

  kvn_network::NetClient& net() { return *client_; }

  // Each sends one packet and returns the box's answer.
  kvn_network::NetPacket prep(std::int64_t jobId);
  kvn_network::NetPacket ini(std::int64_t jobId, std::int64_t bytes, std::int32_t files);
  kvn_network::NetPacket info(const QString& path, std::int64_t size, std::int64_t jobId);
  // An action without fields (BACKUP, PREPOST, END).
  kvn_network::NetPacket action(const QString& name);
  kvn_network::NetPacket scriptResult(const QString& output, std::int32_t exitCode,
                                      std::uint8_t kind);
  // A file description of kind 0; path is native.
  kvn_network::NetPacket describe(const QString& path, std::int32_t lastWrite, std::int64_t size,
                                  bool hasPrevious = false);
  kvn_network::NetPacket confirm(std::uint32_t type);
  kvn_network::NetPacket report(std::uint32_t type, std::uint32_t code, const QString& text);

  // Transfers without the confirmation: the data of a full version (kind
  // 10) through gzip and AES as the job says, a delta of content against
  // previousSignature (kind 12), a signature (kind 11) as it is.
  void sendFullData(const QByteArray& content, const boxsim::JobDataSettings& job);
  void sendDeltaData(const QByteArray& content, const QByteArray& previousSignature,
                     const boxsim::JobDataSettings& job);
  void sendSignature(const QByteArray& signature);

  // The whole exchange for a version already described: data, signature,
  // confirmation; returns the answer to the confirmation.
  kvn_network::NetPacket sendFull(const QByteArray& content, const boxsim::JobDataSettings& job);
  // 0x10020002 first; when the box refuses it, that answer is returned.
  kvn_network::NetPacket sendDelta(const QByteArray& content, const QByteArray& previousSignature,
                                   const boxsim::JobDataSettings& job);

  // Asks for the box's signature of path into file, then takes the box's
  // answer after the transfer; received tells whether the transfer came whole.
  kvn_network::NetPacket requestSignature(const QString& path, const QString& file, bool& received);

 private:
  kvn_network::NetPacket answer(kvn_network::NetPacket& request);
  // Pushes content through first (when given), then gzip and AES as the
  // job says, to the box as a transfer of kind.
  void sendData(std::uint32_t kind, kvn_common::StreamLink* first, const QByteArray& content,
                const boxsim::JobDataSettings& job);

  std::unique_ptr<kvn_network::NetClient> client_;
};

}  // namespace kvn_test
