// Every pause and time-out of the control channel's client, in one place so
// that tests can shorten them. The defaults are the service's.
#pragma once

#include <QString>
#include <chrono>
#include <cstdint>

#include "kvn_network/tessel_protocol.h"

struct TesselTimings {
  using ms = std::chrono::milliseconds;

  // Pauses of the connection loop.
  ms noBoxPause{60000};           // no address worked
  ms handshakeFailPause{150000};  // the box failed the hello
  ms disconnectPause{10000};      // after a link ended
  ms closingPause{1000};          // while the socket is closing
  ms badStatePause{15000};        // the socket was in an unexpected state

  // Waits of one connection attempt.
  ms connectWait{15000};
  ms encryptWait{15000};

  // Waits of the hello.
  ms helloWriteWait{10000};
  ms helloAnswerWait{10000};
  ms helloMoreWait{1000};  // for each further piece of the answer

  // The frame loop.
  ms frameWait{10000};      // longest wait for socket activity
  ms pingInterval{900000};  // a ping after this long without one
  ms idleLimit{1200000};    // the link is dead after this long without a message
  ms sendWait{100};         // one wait of the output back-pressure
};

// Who the client is and where it looks for the box.
struct TesselClientSettings {
  std::int32_t licenseStorage = 0;
  std::int32_t licenseAgent = 0;
  QString cryptkey;
  // Stored addresses joined by ':'; the one that worked replaces them.
  QString boxIp;
  // The box's host name with %1 for the decimal storage licence
  // ("box%1.example"); empty skips the host-name step.
  QString hostPattern;
  std::uint16_t port = kvn_network::tessel::kPort;
};
