// Drops one box connection in n, picked at random, at a random packet of
// it (soak runs). Runs differ a lot in length: a first backup sends several
// packets for every file, a later one only for the files that changed. A
// fixed range would place most drops after the end of a short run, so the
// point is drawn within the length of the last connection of the same kind
// (its first packet's type) that ended without a drop, which the box
// learns as it goes.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <random>

namespace boxsim {

class RandomDrop {
 public:
  // oneIn > 0; a drop falls within at most withinPackets received packets
  // (also the guess before any connection has ended).
  RandomDrop(int oneIn, int withinPackets, unsigned seed = std::random_device{}());

  // For a connection whose first packet has this type: the number of
  // packets after which it is dropped, or -1 when it is not.
  int pick(std::uint32_t kind);
  // A connection of that kind that was not dropped ended after this many
  // packets.
  void ended(std::uint32_t kind, int packets);

 private:
  std::mutex mutex_;
  std::mt19937 random_;
  const int oneIn_;
  const int withinPackets_;
  std::map<std::uint32_t, int> lastLength_;  // none yet: withinPackets_
};

}  // namespace boxsim
