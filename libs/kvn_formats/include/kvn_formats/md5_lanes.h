// MD5 of several messages at once, one message per vector lane (AVX-512 or
// AVX2, whichever the processor has; plain MD5 otherwise). A message is a
// sequence of pieces, so that the used chunks of a block, which need not lie
// next to each other, hash as one message without being copied together.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kvn_common/simd/simd_path.h"

namespace kvn_formats {

inline constexpr std::size_t kMd5Length = 16;
using Md5Digest = std::array<std::uint8_t, kMd5Length>;
using Md5Piece = std::span<const std::uint8_t>;
// The concatenation of its pieces.
using Md5Message = std::span<const Md5Piece>;

// digests[i] = MD5 of messages[i]; digests holds messages.size() entries.
// Messages of any lengths may come together; those in which a piece other
// than the last is not a multiple of 64 bytes are hashed one by one.
void md5Messages(std::span<const Md5Message> messages, Md5Digest* digests);

// MD5 of one message, on the plain path whatever is active.
Md5Digest md5Plain(Md5Message message);

// The path md5Messages takes. The widest one the processor has is chosen at
// start; KVN_MD5_SIMD=scalar|avx2|avx512 or forceMd5Path() narrow it.
kvn_common::simd::SimdPath activeMd5Path();
// False (and nothing changes) when the processor lacks path. For tests and
// benchmarks.
bool forceMd5Path(kvn_common::simd::SimdPath path);
// How many messages the active path hashes in one go: batches of this many
// use the vector unit fully.
std::size_t md5Lanes();

}  // namespace kvn_formats
