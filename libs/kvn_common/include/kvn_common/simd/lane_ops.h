// Lane types for hash rounds written once over any vector width. Every lane
// type offers V, kLanes, add, set1, rotl<S>, ternary<Table>(x, y, z) (the
// bitwise function whose truth table over (x, y, z) is Table, as AVX-512's
// ternary logic numbers them), and the vector ones load(rows, offset, x)
// (the 16 little-endian words at rows[i] + offset of every lane i,
// transposed so that x[w] holds word w of all lanes) and store(uint32_t*, V).
//
// Included by translation units compiled for different instruction sets:
// the anonymous namespace keeps each one's instances to itself, so that the
// linker never hands a plain unit a copy built for a wider processor.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kvn_common::simd {
namespace {

// Truth tables of the boolean functions MD4 and MD5 use.
inline constexpr int kSelectXYZ = 0xca;  // x ? y : z
inline constexpr int kMajority = 0xe8;
inline constexpr int kParity = 0x96;
inline constexpr int kSelectZXY = 0xe4;    // z ? x : y
inline constexpr int kYXorXOrNotZ = 0x39;  // y ^ (x | ~z)

// ternary<Table> from and/or/xor/andnot for units without ternary logic.
// B offers and_, or_, xor_, andnot(a, b) = ~a & b, ones().
template <int Table, typename B, typename V>
V bitwiseTernary(V x, V y, V z) {
  if constexpr (Table == kSelectXYZ) {
    return B::or_(B::and_(x, y), B::andnot(x, z));
  } else if constexpr (Table == kMajority) {
    return B::or_(B::and_(x, B::or_(y, z)), B::and_(y, z));
  } else if constexpr (Table == kParity) {
    return B::xor_(B::xor_(x, y), z);
  } else if constexpr (Table == kSelectZXY) {
    return B::or_(B::and_(z, x), B::andnot(z, y));
  } else {
    static_assert(Table == kYXorXOrNotZ, "no bitwise form for this truth table");
    return B::xor_(y, B::or_(x, B::xor_(z, B::ones())));
  }
}

struct ScalarLanes {
  using V = std::uint32_t;
  static constexpr std::size_t kLanes = 1;

  static V add(V a, V b) { return a + b; }
  static V set1(std::uint32_t v) { return v; }
  static V and_(V a, V b) { return a & b; }
  static V or_(V a, V b) { return a | b; }
  static V xor_(V a, V b) { return a ^ b; }
  static V andnot(V a, V b) { return ~a & b; }
  static V ones() { return ~0u; }
  template <int Table>
  static V ternary(V x, V y, V z) {
    return bitwiseTernary<Table, ScalarLanes>(x, y, z);
  }
  template <int S>
  static V rotl(V v) {
    return (v << S) | (v >> (32 - S));
  }
};

// Two independent groups of lanes carried through the rounds together: each
// step is a chain of dependent operations, and a second group fills the
// cycles in which the first waits for its results.
template <typename Ops>
struct TwoGroups {
  using Inner = typename Ops::V;
  struct V {
    Inner a, b;
  };
  static constexpr std::size_t kLanes = 2 * Ops::kLanes;

  static V add(V x, V y) { return {Ops::add(x.a, y.a), Ops::add(x.b, y.b)}; }
  static V set1(std::uint32_t v) { return {Ops::set1(v), Ops::set1(v)}; }
  template <int Table>
  static V ternary(V x, V y, V z) {
    return {Ops::template ternary<Table>(x.a, y.a, z.a),
            Ops::template ternary<Table>(x.b, y.b, z.b)};
  }
  template <int S>
  static V rotl(V v) {
    return {Ops::template rotl<S>(v.a), Ops::template rotl<S>(v.b)};
  }
  static void load(const std::uint8_t* const* rows, std::size_t offset, V x[16]) {
    Inner first[16];
    Inner second[16];
    Ops::load(rows, offset, first);
    Ops::load(rows + Ops::kLanes, offset, second);
    for (int w = 0; w < 16; ++w) x[w] = {first[w], second[w]};
  }
  static void store(std::uint32_t* out, V v) {
    Ops::store(out, v.a);
    Ops::store(out + Ops::kLanes, v.b);
  }
};

}  // namespace
}  // namespace kvn_common::simd
