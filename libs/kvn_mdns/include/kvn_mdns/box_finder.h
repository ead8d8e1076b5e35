// Finds the boxes on the local network with one multicast DNS question for
// the boxes' service type, and collects what they answer for a few
// seconds. One search runs at a time in the process; its result is kept
// process-wide until the next search replaces it.
#pragma once

#include <chrono>
#include <cstdio>
#include <vector>

#include "kvn_mdns/box_reply.h"

namespace kvn_mdns {

struct BoxFinderOptions {
  // One datagram is read per round, then the finder sleeps for the pause.
  int rounds = 50;
  std::chrono::milliseconds pause{100};
};

class BoxFinder {
 public:
  explicit BoxFinder(BoxFinderOptions options = {}) : options_(options) {}

  // Runs a search. When one is already running, waits for its end and
  // returns true. False when the socket cannot be opened or the question
  // cannot be sent; the found list is then left as it was.
  bool findBoxes();

  // A copy of what the last search found.
  std::vector<FoundBox> foundBoxes() const;

 private:
  bool search();

  BoxFinderOptions options_;
};

// The one-shot discovery mode: runs a search and prints each box found on
// out, between a first and a last line. Returns the process's exit code.
int runBoxDiscovery(std::FILE* out, const BoxFinderOptions& options = {});

}  // namespace kvn_mdns
