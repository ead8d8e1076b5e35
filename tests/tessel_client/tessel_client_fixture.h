// A client under test and the simulated box it talks to, each on its own
// loopback address, with every pause of the client shortened.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "boxsim/tessel_box.h"
#include "tessel/queryprocessor.h"
#include "tessel/tesselclient.h"
#include "tessel/tesseltask.h"
#include "tessel_probe.h"

namespace tessel_test {

using namespace std::chrono_literals;

constexpr std::int32_t kLicense = 5005;
constexpr std::int32_t kAgent = 77;
inline const QString kKey = QStringLiteral("q83vASNFZ4mrze8BI0VniQ==");

inline TesselTimings fastTimings() {
  TesselTimings t;
  t.noBoxPause = 300ms;
  t.handshakeFailPause = 1500ms;
  t.disconnectPause = 200ms;
  t.closingPause = 50ms;
  t.badStatePause = 200ms;
  t.connectWait = 3000ms;
  t.encryptWait = 3000ms;
  t.helloWriteWait = 2000ms;
  t.helloAnswerWait = 2000ms;
  t.helloMoreWait = 500ms;
  t.frameWait = 200ms;
  t.pingInterval = 1h;
  t.idleLimit = 1h;
  t.sendWait = 20ms;
  return t;
}

// Polls until done() holds or the time is up; returns done()'s last value.
inline bool eventually(const std::function<bool()>& done,
                       std::chrono::milliseconds limit = 10000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return done();
    std::this_thread::sleep_for(20ms);
  }
  return true;
}

inline std::unique_ptr<boxsim::TesselBox> startBox(const QString& address) {
  boxsim::TesselBoxConfig config;
  config.address = address;
  config.license = kLicense;
  config.cryptkey = kKey;
  auto box = std::make_unique<boxsim::TesselBox>(config);
  EXPECT_TRUE(box->start()) << address.toStdString();
  return box;
}

class ClientUnderTest {
 public:
  ClientUnderTest(const QString& boxIp, TesselTimings timings = fastTimings(),
                  TesselClient::BoxFinderFunction finder = {}) {
    queries.add("test", std::make_unique<kvn_test::EchoProcessor>());
    factories.add("probe", kvn_test::probeTaskFactory(probes));
    TesselClientSettings settings;
    settings.licenseStorage = kLicense;
    settings.licenseAgent = kAgent;
    settings.cryptkey = kKey;
    settings.boxIp = boxIp;
    client =
        std::make_unique<TesselClient>(settings, queries, factories, std::move(finder), timings);
    QObject::connect(
        client.get(), &TesselClient::validBoxIp, client.get(),
        [this](const QString& ip) {
          std::lock_guard lock(mutex_);
          validIps_ << ip;
        },
        Qt::DirectConnection);
    client->start();
  }
  ~ClientUnderTest() { client.reset(); }

  QStringList validIps() const {
    std::lock_guard lock(mutex_);
    return validIps_;
  }

  QueryProcessorRegistry queries;
  TaskFactoryRegistry factories;
  kvn_test::ProbeLog probes;
  std::unique_ptr<TesselClient> client;

 private:
  mutable std::mutex mutex_;
  QStringList validIps_;
};

}  // namespace tessel_test
