// Time limits of a box connection. The defaults are the product's; tests
// inject short ones so that a silent peer fails in seconds, not minutes.
#pragma once

namespace kvn_network {

struct NetSettings {
  int connectTimeoutMs = 30000;
  int receiveTimeoutMs = 300000;
};

}  // namespace kvn_network
