// A simulated box on its own loopback address for the network client and
// file transfer tests, with a few conversations of the tests' own.
#pragma once

#include <gtest/gtest.h>

#include <memory>

#include "boxsim/file_handlers.h"
#include "boxsim/session.h"
#include "boxsim/simulator.h"
#include "kvn_log/exception.h"
#include "kvn_network/net_client.h"

#include "thrown.h"

namespace kvn_test {

inline const char* kCryptkey = "00112233445566778899aabbccddeeff";
inline constexpr std::uint64_t kStorageLicence = 4711;
// Test conversations: echo the payload back, answer nothing, answer with
// a stray control packet first, answer with the error bit.
inline constexpr std::uint32_t kEchoType = 0x7E570001;
inline constexpr std::uint32_t kMuteType = 0x7E570002;
inline constexpr std::uint32_t kControlFirstType = 0x7E570003;
inline constexpr std::uint32_t kErrorType = 0x7E570004;
inline constexpr std::uint32_t kFetchType = 0x7E570005;

// Answers with the same payload, compressed and encrypted.
class EchoHandler : public boxsim::Handler {
 public:
  bool handle(boxsim::BoxSession& session, const kvn_network::NetPacket& packet) override {
    kvn_network::NetPacket answer(packet.type());
    if (packet.payloadSize() > 0)
      answer.putDataChunk(packet.bytes().data() + kvn_network::kPacketHeaderSize,
                          packet.payloadSize());
    if (packet.type() == kErrorType) answer.setError();
    return session.send(answer, true, true);
  }
};

class MuteHandler : public boxsim::Handler {
 public:
  bool handle(boxsim::BoxSession&, const kvn_network::NetPacket&) override { return true; }
};

class ControlFirstHandler : public boxsim::Handler {
 public:
  bool handle(boxsim::BoxSession& session, const kvn_network::NetPacket& packet) override {
    kvn_network::NetPacket control(kvn_network::kTransferControlType);
    control.setControl();
    control.setEnd();
    control.putUInt32(99);
    control.putUInt64(12345);
    session.SendPacket(control, false, true);
    kvn_network::NetPacket answer(packet.type());
    answer.putUInt32(1);
    return session.send(answer);
  }
};

inline boxsim::Registry testRegistry(const QByteArray& fetchContent = {},
                                     std::uint32_t fetchChunk = kvn_network::kFileBlockSize) {
  boxsim::Registry registry;
  boxsim::addFileHandlers(registry);
  registry.add(kEchoType, std::make_shared<EchoHandler>());
  registry.add(kErrorType, std::make_shared<EchoHandler>());
  registry.add(kMuteType, std::make_shared<MuteHandler>());
  registry.add(kControlFirstType, std::make_shared<ControlFirstHandler>());
  registry.add(kFetchType, std::make_shared<boxsim::FileSendHandler>(fetchContent, fetchChunk));
  return registry;
}

// Short limits: a silent peer must fail a test in seconds.
inline kvn_network::NetSettings shortLimits() { return {5000, 3000}; }

// One simulator on 127.0.0.<n>, shared RSA keys so that each start is fast.
class SimulatedBox {
 public:
  explicit SimulatedBox(int n, const boxsim::FaultScript& faults = {},
                        boxsim::Registry registry = testRegistry()) {
    boxsim::SimulatorConfig config;
    config.address = address(n);
    config.identity = identity();
    config.faults = faults;
    // The box outwaits the agent, so that the agent sees its own timeout.
    config.settings = {5000, 60000};
    simulator_ = std::make_unique<boxsim::BoxSimulator>(std::move(registry), config);
    EXPECT_TRUE(simulator_->start());
  }

  static QString address(int n) { return QString("127.0.0.%1").arg(n); }
  static const boxsim::BoxIdentity& identity() {
    static const boxsim::BoxIdentity id{kCryptkey,
                                        0,
                                        0,
                                        kvn_crypto::generateRsaKeyPair(),
                                        kvn_crypto::generateRsaKeyPair(),
                                        kvn_crypto::Bytes(32, 0x5A)};
    return id;
  }

  boxsim::BoxSimulator& sim() { return *simulator_; }
  boxsim::Record& record() { return simulator_->record(); }

 private:
  std::unique_ptr<boxsim::BoxSimulator> simulator_;
};

// A client of the box at 127.0.0.<n>, connected unless told otherwise.
inline std::unique_ptr<kvn_network::NetClient> connectedClient(int n, bool connect = true) {
  auto client = std::make_unique<kvn_network::NetClient>(SimulatedBox::address(n), boxsim::kBoxPort,
                                                         shortLimits());
  if (connect) client->connect(kStorageLicence, kCryptkey);
  return client;
}

inline kvn_network::NetPacket echo(kvn_network::NetClient& client, std::uint32_t value,
                                   std::uint32_t type = kEchoType) {
  kvn_network::NetPacket request(type);
  request.putUInt32(value);
  EXPECT_TRUE(client.SendPacket(request, true, true));
  return client.receivePacket();
}


}  // namespace kvn_test
