// MD5 over any lane type of kvn_common/simd/lane_ops.h, and the driver that
// feeds messages of different lengths, each made of pieces, through the
// lanes. Included by one translation unit per instruction set; the
// anonymous namespace keeps their instances apart at link time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kvn_common/simd/lane_ops.h"
#include "kvn_common/simd/md_padding.h"
#include "kvn_formats/md5_lanes.h"

namespace kvn_formats {
namespace {

namespace simd = kvn_common::simd;

// floor(|sin(i + 1)| * 2^32).
constexpr std::uint32_t kMd5Sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

template <typename Ops>
struct Md5Rounds {
  using V = typename Ops::V;

  // a = b + rotl(a + fn(b, c, d) + x + sine, S); a + x + sine does not
  // wait for b, so the chain through b is only fn, two adds and the rotate.
  template <int Fn, int S>
  static void step(V& a, V b, V c, V d, V x, int i) {
    const V early = Ops::add(a, Ops::add(x, Ops::set1(kMd5Sines[i])));
    a = Ops::add(b, Ops::template rotl<S>(Ops::add(early, Ops::template ternary<Fn>(b, c, d))));
  }

  static void compress(V state[4], const V x[16]) {
    V a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 16; i += 4) {
      step<simd::kSelectXYZ, 7>(a, b, c, d, x[i], i);
      step<simd::kSelectXYZ, 12>(d, a, b, c, x[i + 1], i + 1);
      step<simd::kSelectXYZ, 17>(c, d, a, b, x[i + 2], i + 2);
      step<simd::kSelectXYZ, 22>(b, c, d, a, x[i + 3], i + 3);
    }
    for (int i = 16; i < 32; i += 4) {
      step<simd::kSelectZXY, 5>(a, b, c, d, x[(5 * i + 1) % 16], i);
      step<simd::kSelectZXY, 9>(d, a, b, c, x[(5 * i + 6) % 16], i + 1);
      step<simd::kSelectZXY, 14>(c, d, a, b, x[(5 * i + 11) % 16], i + 2);
      step<simd::kSelectZXY, 20>(b, c, d, a, x[(5 * i + 16) % 16], i + 3);
    }
    for (int i = 32; i < 48; i += 4) {
      step<simd::kParity, 4>(a, b, c, d, x[(3 * i + 5) % 16], i);
      step<simd::kParity, 11>(d, a, b, c, x[(3 * i + 8) % 16], i + 1);
      step<simd::kParity, 16>(c, d, a, b, x[(3 * i + 11) % 16], i + 2);
      step<simd::kParity, 23>(b, c, d, a, x[(3 * i + 14) % 16], i + 3);
    }
    for (int i = 48; i < 64; i += 4) {
      step<simd::kYXorXOrNotZ, 6>(a, b, c, d, x[(7 * i) % 16], i);
      step<simd::kYXorXOrNotZ, 10>(d, a, b, c, x[(7 * i + 7) % 16], i + 1);
      step<simd::kYXorXOrNotZ, 15>(c, d, a, b, x[(7 * i + 14) % 16], i + 2);
      step<simd::kYXorXOrNotZ, 21>(b, c, d, a, x[(7 * i + 21) % 16], i + 3);
    }
    state[0] = Ops::add(state[0], a);
    state[1] = Ops::add(state[1], b);
    state[2] = Ops::add(state[2], c);
    state[3] = Ops::add(state[3], d);
  }
};

// Walks one message 64 bytes at a time: its whole 64-byte chunks straight
// from the pieces, then its padded end from a copy.
class LaneCursor {
 public:
  // tail: 128 bytes for the padded end.
  void start(Md5Message message, std::uint8_t* tail) {
    piece_ = message.data();
    end_ = piece_ + message.size();
    std::uint64_t length = 0;
    for (const Md5Piece& piece : message) length += piece.size();
    whole_ = length / 64;
    const std::size_t rest = length % 64;
    const std::uint8_t* last =
        rest > 0 ? message.back().data() + message.back().size() - rest : nullptr;
    chunks_ = whole_ + simd::mdTail(last, length, tail);
    tail_ = tail;
    skipEmpty();
  }
  std::uint64_t chunks() const { return chunks_; }
  // The 64 bytes of chunk number `index`, asked for in order.
  const std::uint8_t* chunk(std::uint64_t index) {
    if (index >= whole_) return tail_ + (index - whole_) * 64;
    const std::uint8_t* at = piece_->data() + offset_;
    offset_ += 64;
    if (offset_ == piece_->size()) {
      ++piece_;
      offset_ = 0;
      skipEmpty();
    }
    return at;
  }

 private:
  void skipEmpty() {
    while (piece_ != end_ && piece_->empty()) ++piece_;
  }

  const Md5Piece* piece_ = nullptr;
  const Md5Piece* end_ = nullptr;
  std::size_t offset_ = 0;
  std::uint64_t whole_ = 0;
  std::uint64_t chunks_ = 0;
  const std::uint8_t* tail_ = nullptr;
};

// Each lane reads its own stream, often from memory rather than the cache
// (the blocks of a volume come in 2 MiB apart): more streams than the
// processor's prefetcher follows. Asking for the bytes eight chunks ahead
// hashes about 40 % more bytes per second with 32 lanes; a prefetch beyond a
// piece or a buffer is only a wasted hint.
constexpr std::size_t kPrefetchAhead = 512;

// MD5 of count (1..Ops::kLanes) messages, one per lane. A lane whose
// message has ended hashes its padded end again until the longest one is
// done; its digest is taken when its own last chunk went through.
template <typename Ops>
void md5Lanes(const Md5Message* messages, std::size_t count, Md5Digest* digests) {
  using V = typename Ops::V;
  constexpr std::size_t kLanes = Ops::kLanes;
  alignas(64) std::uint8_t tails[kLanes * 128];
  LaneCursor cursors[kLanes];
  std::uint64_t longest = 0;
  for (std::size_t i = 0; i < count; ++i) {
    cursors[i].start(messages[i], tails + i * 128);
    longest = cursors[i].chunks() > longest ? cursors[i].chunks() : longest;
  }
  V state[4] = {Ops::set1(simd::kMdInit[0]), Ops::set1(simd::kMdInit[1]),
                Ops::set1(simd::kMdInit[2]), Ops::set1(simd::kMdInit[3])};
  V x[16];
  const std::uint8_t* rows[kLanes];
  for (std::size_t i = count; i < kLanes; ++i) rows[i] = tails;
  alignas(64) std::uint32_t words[4][kLanes];
  for (std::uint64_t index = 0; index < longest; ++index) {
    bool anyEnds = false;
    for (std::size_t i = 0; i < count; ++i) {
      const std::uint64_t chunks = cursors[i].chunks();
      rows[i] = cursors[i].chunk(index < chunks ? index : chunks - 1);
      __builtin_prefetch(rows[i] + kPrefetchAhead);
      anyEnds = anyEnds || index + 1 == chunks;
    }
    Ops::load(rows, 0, x);
    Md5Rounds<Ops>::compress(state, x);
    if (!anyEnds) continue;
    for (int k = 0; k < 4; ++k) Ops::store(words[k], state[k]);
    for (std::size_t i = 0; i < count; ++i) {
      if (index + 1 != cursors[i].chunks()) continue;
      for (int k = 0; k < 4; ++k) simd::putLittle32(digests[i].data() + 4 * k, words[k][i]);
    }
  }
}

}  // namespace
}  // namespace kvn_formats
