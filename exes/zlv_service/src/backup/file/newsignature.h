// The new signature of one file attempt and the folders signatures go to.
#pragma once

#include <QSet>
#include <QString>
#include <cstddef>
#include <mutex>
#include <optional>
#include <vector>

#include "kvn_common/atomic_file_sink.h"
#include "kvn_common/stream.h"

// Writes the signature under its ".part" name and renames it into place at
// the end, without flushing it: the signature is cached for the next
// delta only, and a signature a power cut left short or empty fails the
// size check against the box's copy or the loader's format checks, and the
// box's copy is downloaded instead. It also keeps the bytes, up to
// kKeptLimit, so that they are sent to the box without reading them back.
class NewSignature : public kvn_common::StreamSink {
 public:
  // A signature grows with the square root of the file: 4 MiB holds that
  // of a file of some 100 TiB.
  static constexpr std::size_t kKeptLimit = 0x400000;

  explicit NewSignature(const QString& path);

  void write(const char* data, std::uint32_t size) override;
  void end() override;

  // The whole signature, or nothing when it grew past the limit (it is
  // then only in the file).
  std::optional<std::vector<char>> takeKept();

 private:
  kvn_common::AtomicFileSink file_;
  std::vector<char> bytes_;
  bool overflow_ = false;
};

// The signature folders known to exist during one run, so that each is
// made (or found) once instead of once per file. The backup's thread and
// the thread preparing files ahead share it.
class SignatureFolders {
 public:
  // Makes the folder and its parents when needed; false when it cannot.
  bool ensure(const QString& folder);
  void clear();

 private:
  bool ensureLocked(const QString& folder);

  std::mutex mutex_;
  QSet<QString> known_;
};
