#include "kvn_formats/md5_lanes.h"

#include <QCryptographicHash>
#include <algorithm>
#include <cstring>

#include "md5_kernels.h"

namespace kvn_formats {

namespace {

using kvn_common::simd::SimdPath;

kvn_common::simd::SimdPathSwitch& active() {
  static kvn_common::simd::SimdPathSwitch path("KVN_MD5_SIMD");
  return path;
}

// The vector kernels step through whole 64-byte chunks of the pieces.
bool fitsLanes(Md5Message message) {
  for (std::size_t i = 0; i + 1 < message.size(); ++i) {
    if (message[i].size() % 64 != 0) return false;
  }
  return true;
}

}  // namespace

Md5Digest md5Plain(Md5Message message) {
  QCryptographicHash md5(QCryptographicHash::Md5);
  for (const Md5Piece& piece : message) {
    md5.addData(QByteArrayView(reinterpret_cast<const char*>(piece.data()),
                               static_cast<qsizetype>(piece.size())));
  }
  Md5Digest digest;
  std::memcpy(digest.data(), md5.resultView().constData(), digest.size());
  return digest;
}

SimdPath activeMd5Path() { return active().active(); }

bool forceMd5Path(SimdPath path) { return active().force(path); }

std::size_t md5Lanes() {
  switch (activeMd5Path()) {
    case SimdPath::kAvx512: return md5_kernels::kMd5Avx512Lanes;
    case SimdPath::kAvx2: return md5_kernels::kMd5Avx2Lanes;
    default: return 1;
  }
}

void md5Messages(std::span<const Md5Message> messages, Md5Digest* digests) {
  const SimdPath path = activeMd5Path();
  const std::size_t lanes = md5Lanes();
  std::size_t done = 0;
  while (done < messages.size()) {
    const std::size_t take = std::min(messages.size() - done, lanes);
    const Md5Message* group = messages.data() + done;
    // A lone message runs faster on its own than in one lane of many.
    const bool plain =
        path == SimdPath::kScalar || take == 1 || !std::all_of(group, group + take, fitsLanes);
    if (plain) {
      for (std::size_t i = 0; i < take; ++i) digests[done + i] = md5Plain(group[i]);
#if defined(__x86_64__)
    } else if (path == SimdPath::kAvx512) {
      md5_kernels::md5Avx512(group, take, digests + done);
    } else {
      md5_kernels::md5Avx2(group, take, digests + done);
#endif
    }
    done += take;
  }
}

}  // namespace kvn_formats
