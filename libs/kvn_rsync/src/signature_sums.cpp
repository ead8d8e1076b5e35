#include "kvn_rsync/signature_sums.h"

#include <librsync.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <utility>

#include "kvn_log/exception.h"
#include "kvn_rsync/delta_stream.h"

namespace kvn_rsync {

namespace {

constexpr std::size_t kHeader = 12;
constexpr std::size_t kEntry = 4 + SignatureSums::kStrongLength;

std::uint32_t bigEndian32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 |
         std::uint32_t(p[3]);
}

[[noreturn]] void failLoad(rs_result result) {
  throw KvnCommonException::withCode(KVN_HERE, kLoadSigError, "RSync loadsig error (%d): %s",
                                     result, rs_strerror(result));
}

std::vector<std::uint8_t> readRest(std::FILE* file) {
  std::vector<std::uint8_t> bytes;
  std::size_t got = 0;
  do {
    bytes.resize(got + 0x40000);
    got += std::fread(bytes.data() + got, 1, bytes.size() - got, file);
  } while (got == bytes.size());
  if (std::ferror(file)) failLoad(RS_IO_ERROR);
  bytes.resize(got);
  return bytes;
}

}  // namespace

std::unique_ptr<SignatureSums> SignatureSums::load(std::FILE* file) {
  const long start = std::ftell(file);
  std::uint8_t header[kHeader];
  const std::size_t got = std::fread(header, 1, kHeader, file);
  const std::uint32_t blockLength = got == kHeader ? bigEndian32(header + 4) : 0;
  if (got != kHeader || bigEndian32(header) != RS_MD4_SIG_MAGIC ||
      bigEndian32(header + 8) != kStrongLength || blockLength == 0 ||
      blockLength > kMaxBlockLength) {
    std::clearerr(file);
    if (start < 0 || std::fseek(file, start, SEEK_SET) != 0) failLoad(RS_IO_ERROR);
    return nullptr;
  }
  const std::vector<std::uint8_t> body = readRest(file);
  // librsync reads the sums until the input ends; ending inside one is a
  // truncated signature.
  if (body.size() % kEntry != 0) failLoad(RS_INPUT_ENDED);
  std::unique_ptr<SignatureSums> sums(new SignatureSums);
  sums->blockLength_ = blockLength;
  const std::size_t blocks = body.size() / kEntry;
  sums->weak_.resize(blocks);
  sums->strong_.resize(blocks * kStrongLength);
  for (std::size_t i = 0; i < blocks; ++i) {
    const std::uint8_t* entry = body.data() + i * kEntry;
    sums->weak_[i] = bigEndian32(entry);
    std::copy(entry + 4, entry + kEntry, sums->strong_.begin() + i * kStrongLength);
  }
  sums->index();
  return sums;
}

std::uint64_t SignatureSums::strongKey(std::size_t block) const {
  std::uint64_t key = 0;
  std::memcpy(&key, strong(block), kStrongLength);
  return key;
}

void SignatureSums::index() {
  // Blocks with the same sums are indexed once (the first of them): any of
  // them serves a copy, and a file of many equal blocks must not make every
  // probe with that weak sum walk them all.
  std::vector<std::uint32_t> distinct(weak_.size());
  std::iota(distinct.begin(), distinct.end(), 0u);
  const auto key = [this](std::uint32_t block) {
    return std::pair{weak_[block], strongKey(block)};
  };
  std::stable_sort(distinct.begin(), distinct.end(),
                   [&key](std::uint32_t a, std::uint32_t b) { return key(a) < key(b); });
  distinct.erase(std::unique(distinct.begin(), distinct.end(),
                             [&key](std::uint32_t a, std::uint32_t b) { return key(a) == key(b); }),
                 distinct.end());
  // Eight times as many buckets as blocks keeps most probes of the rolling
  // search on an empty bucket.
  int bits = 4;
  while (bits < 30 && (std::size_t{1} << bits) < 8 * distinct.size()) ++bits;
  shift_ = 32 - bits;
  const std::size_t buckets = std::size_t{1} << bits;
  first_.assign(buckets + 1, 0);
  for (std::uint32_t block : distinct) ++first_[bucketOf(weak_[block]) + 1];
  for (std::size_t b = 0; b < buckets; ++b) first_[b + 1] += first_[b];
  std::vector<std::uint32_t> next(first_.begin(), first_.end() - 1);
  order_.resize(distinct.size());
  for (std::uint32_t block : distinct) order_[next[bucketOf(weak_[block])]++] = block;
}

}  // namespace kvn_rsync
