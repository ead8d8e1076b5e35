// A simulated box with the identity the tests' agents are paired with, for
// fixtures that assemble their own set of handlers.
#pragma once

#include <gtest/gtest.h>

#include <QString>
#include <memory>

#include "boxsim/simulator.h"

namespace kvn_test {

// The box key and storage licence of every paired test agent.
inline constexpr const char* kPairedCryptkey = "00112233445566778899aabbccddeeff";
inline constexpr int kPairedStorageLicence = 4242;

// Starts a simulator with registry on address into box; fails the test if
// the address cannot be taken.
inline void startPairedBox(std::unique_ptr<boxsim::BoxSimulator>& box, boxsim::Registry registry,
                           const QString& address) {
  boxsim::SimulatorConfig config;
  config.address = address;
  config.identity.cryptkeyHex = kPairedCryptkey;
  config.identity.storageLicence = kPairedStorageLicence;
  box = std::make_unique<boxsim::BoxSimulator>(std::move(registry), config);
  ASSERT_TRUE(box->start()) << address.toStdString();
}

}  // namespace kvn_test
