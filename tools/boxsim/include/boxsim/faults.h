// Faults a test can ask the simulated box for. All are off by default; each
// session reads the script it was given at start and never changes it.
#pragma once

#include <cstdint>
#include <memory>

#include "boxsim/phase_trap.h"
#include "boxsim/random_drop.h"

namespace boxsim {

struct FaultScript {
  // Close the connection once this many packets (after the negotiation)
  // have been received; -1: never.
  int closeAfterPackets = -1;
  // Refuse an incoming transfer with an error control packet once this
  // many data chunks of it have arrived (0: at the first chunk); -1: never.
  int refuseTransferAfterChunks = -1;
  // Pings sent before every answer.
  int pingsBeforeAnswer = 0;
  // Milliseconds to wait before every answer.
  int answerDelayMs = 0;
  // Close the connection instead of sending the negotiation message with
  // this code (for example 0xA3); 0: never.
  std::uint8_t refuseNegotiationAt = 0;
  // Accept connections, then neither read nor answer anything.
  bool silent = false;
  // When the box sends a file: the data chunk with this index repeats the
  // previous chunk's offset; -1: never.
  int breakChunkSequenceAt = -1;
  // When the box sends a file: the data chunk with this index carries
  // another file id; -1: never.
  int switchFileIdAt = -1;
  // Holds or drops the connection at a point of the conversation; shared by
  // the sessions, so that only the first to reach the point stops there.
  std::shared_ptr<PhaseTrap> trap;
  // Drops connections at random (one in n, at a packet scaled to the
  // runs); shared by the sessions, which report how long theirs were.
  std::shared_ptr<RandomDrop> randomDrop;
};

}  // namespace boxsim
