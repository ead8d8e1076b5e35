// The MD4 compression function over any lane type, so that the scalar and
// vector paths share one description of the rounds. Included by one
// translation unit per path, each compiled for its own instruction set; the
// anonymous namespace keeps their instances apart at link time.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kvn_common/simd/lane_ops.h"
#include "kvn_common/simd/md_padding.h"

namespace kvn_rsync {
namespace {

using kvn_common::simd::kMdInit;
using kvn_common::simd::putLittle32;

// Ops: a lane type of kvn_common/simd/lane_ops.h.
template <typename Ops>
struct Md4Rounds {
  using V = typename Ops::V;

  static V f(V x, V y, V z) { return Ops::template ternary<kvn_common::simd::kSelectXYZ>(x, y, z); }
  static V g(V x, V y, V z) { return Ops::template ternary<kvn_common::simd::kMajority>(x, y, z); }
  static V h(V x, V y, V z) { return Ops::template ternary<kvn_common::simd::kParity>(x, y, z); }

  template <int S>
  static void step1(V& a, V b, V c, V d, V x) {
    // a + x does not wait for the other three words: the longer chain of
    // the boolean function is added last.
    a = Ops::template rotl<S>(Ops::add(Ops::add(a, x), f(b, c, d)));
  }
  template <int S>
  static void step2(V& a, V b, V c, V d, V x) {
    a = Ops::template rotl<S>(
        Ops::add(Ops::add(a, Ops::add(x, Ops::set1(0x5a827999))), g(b, c, d)));
  }
  template <int S>
  static void step3(V& a, V b, V c, V d, V x) {
    a = Ops::template rotl<S>(
        Ops::add(Ops::add(a, Ops::add(x, Ops::set1(0x6ed9eba1))), h(b, c, d)));
  }

  static void compress(V state[4], const V x[16]) {
    V a = state[0], b = state[1], c = state[2], d = state[3];
    for (int i = 0; i < 16; i += 4) {
      step1<3>(a, b, c, d, x[i]);
      step1<7>(d, a, b, c, x[i + 1]);
      step1<11>(c, d, a, b, x[i + 2]);
      step1<19>(b, c, d, a, x[i + 3]);
    }
    for (int i = 0; i < 4; ++i) {
      step2<3>(a, b, c, d, x[i]);
      step2<5>(d, a, b, c, x[i + 4]);
      step2<9>(c, d, a, b, x[i + 8]);
      step2<13>(b, c, d, a, x[i + 12]);
    }
    constexpr int kOrder[4] = {0, 2, 1, 3};
    for (int i : kOrder) {
      step3<3>(a, b, c, d, x[i]);
      step3<9>(d, a, b, c, x[i + 8]);
      step3<11>(c, d, a, b, x[i + 4]);
      step3<15>(b, c, d, a, x[i + 12]);
    }
    state[0] = Ops::add(state[0], a);
    state[1] = Ops::add(state[1], b);
    state[2] = Ops::add(state[2], c);
    state[3] = Ops::add(state[3], d);
  }
};

// The padded end of a message of length bytes at message: one or two
// 64-byte chunks (the count is returned) written to out, which holds 128
// bytes. An empty message may come without any buffer at all.
inline std::size_t md4Tail(const std::uint8_t* message, std::size_t length, std::uint8_t* out) {
  return kvn_common::simd::mdTail(length % 64 > 0 ? message + (length - length % 64) : nullptr,
                                  length, out);
}

}  // namespace
}  // namespace kvn_rsync

namespace kvn_rsync {
namespace {

// MD4 of up to Ops::kLanes equal-length messages, one per lane. Ops adds to
// the round operations load(rows, offset, x): the 16 words at rows[i] +
// offset of every lane i, transposed so that x[w] holds word w of all
// lanes; and store(uint32_t*, V).
template <typename Ops>
void md4Lanes(const std::uint8_t* data, std::size_t stride, std::size_t length, std::size_t count,
              std::uint8_t* digests) {
  using V = typename Ops::V;
  constexpr std::size_t kLanes = Ops::kLanes;
  V state[4] = {Ops::set1(kMdInit[0]), Ops::set1(kMdInit[1]), Ops::set1(kMdInit[2]),
                Ops::set1(kMdInit[3])};
  V x[16];
  // Lanes past count repeat the first message.
  const std::uint8_t* rows[kLanes];
  for (std::size_t i = 0; i < kLanes; ++i) rows[i] = data + (i < count ? i : 0) * stride;
  const std::size_t full = length / 64;
  for (std::size_t chunk = 0; chunk < full; ++chunk) {
    Ops::load(rows, chunk * 64, x);
    Md4Rounds<Ops>::compress(state, x);
  }
  alignas(64) std::uint8_t tails[kLanes * 128];
  std::size_t tailChunks = 0;
  for (std::size_t i = 0; i < count; ++i) {
    tailChunks = md4Tail(rows[i], length, tails + i * 128);
    rows[i] = tails + i * 128;
  }
  for (std::size_t i = count; i < kLanes; ++i) rows[i] = tails;
  for (std::size_t chunk = 0; chunk < tailChunks; ++chunk) {
    Ops::load(rows, chunk * 64, x);
    Md4Rounds<Ops>::compress(state, x);
  }
  alignas(64) std::uint32_t words[4][kLanes];
  for (int k = 0; k < 4; ++k) Ops::store(words[k], state[k]);
  for (std::size_t i = 0; i < count; ++i)
    for (int k = 0; k < 4; ++k) putLittle32(digests + i * 16 + 4 * k, words[k][i]);
}

}  // namespace
}  // namespace kvn_rsync
