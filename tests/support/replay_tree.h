// A tree of three files in two rounds, for backup conversations that are
// recorded against the simulated box and replayed later (the answer
// fuzzer's seeds): a replay only takes the same path through the agent when
// the files, their last writes and the agent's signatures of the first round
// are the same as when it was recorded.
#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <ctime>

namespace kvn_test {

struct ReplayFile {
  const char* name;
  QByteArray first;
  std::time_t firstWrite;
  QByteArray second;
  std::time_t secondWrite;
};

// Deterministic bytes that do not compress.
inline QByteArray replayNoise(qsizetype size, std::uint32_t seed) {
  QByteArray bytes(size, Qt::Uninitialized);
  for (char& byte : bytes) {
    seed = seed * 1664525u + 1013904223u;
    byte = char(seed >> 24);
  }
  return bytes;
}

// a.txt changes, b.txt keeps its bytes under a new last write, and c.bin is
// larger than one credit window (it waits for a grant when sent whole) and
// changes in the middle.
inline std::array<ReplayFile, 3> replayTree() {
  constexpr std::time_t kBase = 1700000000;
  QByteArray big = replayNoise(300000, 7);
  QByteArray changed = big;
  changed.replace(150000, 5000, replayNoise(5000, 8));
  return {ReplayFile{"a.txt", "first words\n", kBase, "second words, a few more\n", kBase + 100},
          ReplayFile{"b.txt", "the same\n", kBase + 1, "the same\n", kBase + 101},
          ReplayFile{"c.bin", big, kBase + 2, changed, kBase + 102}};
}

}  // namespace kvn_test
