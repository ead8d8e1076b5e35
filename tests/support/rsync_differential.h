// One differential case of the hand-written rsync engine against librsync:
// a basis and an edited version, both derived from a byte string (a fuzz
// input or seeded random bytes). The engine's signatures must equal
// librsync's byte for byte, and its delta, patched by librsync onto the
// basis, must give the edited version back. Header-only so that the fuzz
// targets can use it too.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>
#include <string>

#include "kvn_common/stream.h"
#include "kvn_rsync/fused_delta.h"
#include "kvn_rsync/patch_stream.h"
#include "kvn_rsync/signature_engine.h"
#include "kvn_rsync/signature_stream.h"
#include "kvn_rsync/signature_sums.h"

namespace kvn_rsync_diff {

class StringSink : public kvn_common::StreamSink {
 public:
  void write(const char* data, std::uint32_t size) override { bytes.append(data, size); }
  void end() override { ++ends; }
  std::string bytes;
  int ends = 0;
};

struct Case {
  std::string basis;
  std::string changed;
  std::uint64_t oldBlock = 2048;
  std::uint64_t newBlock = 2048;
  std::size_t chunk = 0x10000;
};

// Reads parameters off the input; zeros once it is used up.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
  std::uint32_t next(std::uint32_t bound) {
    std::uint32_t value = 0;
    for (int i = 0; i < 3; ++i) value = value << 8 | (at_ < size_ ? data_[at_++] : 0);
    return bound == 0 ? 0 : value % bound;
  }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

// Mostly random data with runs of one byte and repeated pieces, so that
// weak sums collide and the same block appears more than once.
inline std::string content(std::size_t size, std::uint64_t seed) {
  std::mt19937_64 random(seed);
  std::string bytes(size, '\0');
  for (std::size_t i = 0; i < size;) {
    const std::size_t run = std::min<std::size_t>(size - i, 1 + random() % 3000);
    switch (random() % 4) {
      case 0:
        std::fill_n(bytes.begin() + static_cast<std::ptrdiff_t>(i), run, char(random()));
        break;
      case 1:
        if (i >= run) {
          std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(random() % (i - run + 1)), run,
                      bytes.begin() + static_cast<std::ptrdiff_t>(i));
          break;
        }
        [[fallthrough]];
      default:
        for (std::size_t k = 0; k < run; ++k) bytes[i + k] = char(random());
    }
    i += run;
  }
  return bytes;
}

inline Case makeCase(const std::uint8_t* data, std::size_t size) {
  static constexpr std::uint64_t kBlocks[] = {64, 300, 512, 700, 2048};
  Reader in(data, size);
  Case c;
  c.oldBlock = kBlocks[in.next(5)];
  c.newBlock = in.next(2) == 0 ? c.oldBlock : kBlocks[in.next(5)];
  c.chunk = 1 + in.next(70000);
  const std::uint64_t seed = in.next(0xffffff);
  c.basis = content(in.next(60000), seed);
  c.changed = c.basis;
  const std::uint32_t edits = in.next(12);
  std::mt19937_64 random(seed + 1);
  for (std::uint32_t e = 0; e < edits; ++e) {
    const std::size_t at = c.changed.empty() ? 0 : in.next(std::uint32_t(c.changed.size()));
    const std::size_t length = 1 + in.next(3 * 2048);
    const std::size_t room = c.changed.size() - at;
    switch (in.next(5)) {
      case 0:  // overwrite
        c.changed.replace(at, std::min(length, room), content(std::min(length, room), random()));
        break;
      case 1:  // insert
        c.changed.insert(at, content(length, random()));
        break;
      case 2:  // delete
        c.changed.erase(at, std::min(length, room));
        break;
      case 3:  // move a piece of the file elsewhere in it
        c.changed.insert(at,
                         c.changed.substr(in.next(std::uint32_t(c.changed.size() + 1)), length));
        break;
      default:  // cut the end or grow it
        if (in.next(2) == 0)
          c.changed.resize(at);
        else
          c.changed.append(content(length, random()));
    }
  }
  return c;
}

inline void pushAll(kvn_common::StreamSink& stream, const std::string& input, std::size_t chunk) {
  for (std::size_t at = 0; at < input.size(); at += chunk) {
    const std::size_t size = std::min(chunk, input.size() - at);
    stream.write(input.data() + at, static_cast<std::uint32_t>(size));
  }
  stream.end();
}

inline std::string librsyncSignature(const std::string& data, std::uint64_t blockLength) {
  kvn_rsync::SignatureStream stream(blockLength);
  StringSink sink;
  stream.setNext(&sink);
  pushAll(stream, data, 0x10000);
  return sink.bytes;
}

inline std::string librsyncPatch(const std::string& basis, const std::string& delta) {
  kvn_rsync::PatchStream patch(
      [&basis](std::int64_t offset, std::size_t length, char* buffer) -> std::size_t {
        if (offset < 0 || std::size_t(offset) >= basis.size()) return 0;
        const std::size_t got = std::min(length, basis.size() - std::size_t(offset));
        std::memcpy(buffer, basis.data() + offset, got);
        return got;
      },
      false);
  StringSink sink;
  patch.setNext(&sink);
  pushAll(patch, delta, 0x10000);
  return sink.bytes;
}

struct ClosedFile {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

// The previous signature as the agent reads it: from a stdio file.
inline std::unique_ptr<kvn_rsync::SignatureSums> loadSums(std::string& signature) {
  std::unique_ptr<std::FILE, ClosedFile> file(fmemopen(signature.data(), signature.size(), "rb"));
  return kvn_rsync::SignatureSums::load(file.get());
}

struct Result {
  std::string delta;
  std::string signature;
};

inline Result fusedDelta(const kvn_rsync::SignatureSums& sums, const Case& c) {
  StringSink signature;
  kvn_rsync::FusedDeltaStream stream(sums, c.newBlock, signature);
  StringSink delta;
  stream.setNext(&delta);
  pushAll(stream, c.changed, c.chunk);
  return {delta.bytes, signature.bytes};
}

// Empty when the engine agrees with librsync, else what differs.
inline std::string check(const Case& c) {
  std::string oldSignature = librsyncSignature(c.basis, c.oldBlock);
  const std::string newSignature = librsyncSignature(c.changed, c.newBlock);
  StringSink engineSignature;
  kvn_rsync::SignatureEngine signatureEngine(c.newBlock);
  signatureEngine.setNext(&engineSignature);
  pushAll(signatureEngine, c.changed, c.chunk);
  if (engineSignature.bytes != newSignature) return "signature engine differs from librsync";
  const auto sums = loadSums(oldSignature);
  if (!sums) return "own signature format not recognised";
  const Result fused = fusedDelta(*sums, c);
  if (fused.signature != newSignature) return "fused delta's signature differs from librsync";
  if (librsyncPatch(c.basis, fused.delta) != c.changed) return "patched delta differs";
  return {};
}

}  // namespace kvn_rsync_diff
