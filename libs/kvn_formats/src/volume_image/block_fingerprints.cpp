#include "kvn_formats/volume_image/block_fingerprints.h"

#include <xxhash.h>

#include <QFile>
#include <QRandomGenerator>
#include <cstring>
#include <stdexcept>

#include "xxh3/xxh3_kernels.h"

namespace kvn_formats::volume_image {

namespace {

constexpr char kMagic[4] = {'K', 'v', 'F', 'p'};
constexpr std::uint32_t kVersion = 1;
static_assert(BlockFingerprints::kSecretSize >= XXH3_SECRET_SIZE_MIN);

constexpr std::size_t kHeadSize = sizeof kMagic + sizeof kVersion + sizeof(Uuid) +
                                  sizeof(std::uint64_t) + BlockFingerprints::kSecretSize;

std::uint64_t fileSizeFor(std::uint64_t blockCount) {
  return kHeadSize + blockCount * (sizeof(BlockFingerprint) + 1) + sizeof(XXH64_hash_t);
}

template <typename T>
void put(QByteArray& out, const T& value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

template <typename T>
void take(const char*& in, T& value) {
  std::memcpy(&value, in, sizeof value);
  in += sizeof value;
}

}  // namespace

BlockFingerprints::BlockFingerprints(const Uuid& imageId, std::uint64_t blockCount)
    : imageId_(imageId), prints_(blockCount), known_(blockCount, 0) {
  std::array<quint32, kSecretSize / sizeof(quint32)> words{};
  QRandomGenerator::system()->generate(words.begin(), words.end());
  std::memcpy(secret_.data(), words.data(), kSecretSize);
}

BlockFingerprints::BlockFingerprints(const Uuid& imageId, std::uint64_t blockCount,
                                     const BlockFingerprints& parent)
    : imageId_(imageId), secret_(parent.secret_), prints_(blockCount), known_(blockCount, 0) {}

std::optional<BlockFingerprints> BlockFingerprints::load(const QString& path, const Uuid& imageId,
                                                         std::uint64_t blockCount, QString* why) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    *why = file.errorString();
    return std::nullopt;
  }
  // The size is checked before anything is read, so that a damaged count
  // cannot ask for a huge allocation.
  if (std::uint64_t(file.size()) != fileSizeFor(blockCount)) {
    *why = QStringLiteral("size %1, not that of %2 blocks").arg(file.size()).arg(blockCount);
    return std::nullopt;
  }
  std::vector<char> bytes(fileSizeFor(blockCount));
  if (file.read(bytes.data(), qint64(bytes.size())) != qint64(bytes.size())) {
    *why = file.errorString();
    return std::nullopt;
  }
  const std::size_t body = bytes.size() - sizeof(XXH64_hash_t);
  XXH64_hash_t sum = 0;
  std::memcpy(&sum, bytes.data() + body, sizeof sum);
  if (XXH64(bytes.data(), body, 0) != sum) {
    *why = QStringLiteral("checksum mismatch");
    return std::nullopt;
  }
  const char* in = bytes.data();
  char magic[4];
  std::uint32_t version = 0;
  BlockFingerprints set;
  std::uint64_t count = 0;
  take(in, magic);
  take(in, version);
  take(in, set.imageId_);
  take(in, count);
  if (std::memcmp(magic, kMagic, sizeof magic) != 0 || version != kVersion) {
    *why = QStringLiteral("not a fingerprint file of this version");
    return std::nullopt;
  }
  if (set.imageId_ != imageId || count != blockCount) {
    *why = QStringLiteral("made for another image");
    return std::nullopt;
  }
  take(in, set.secret_);
  set.prints_.resize(count);
  std::memcpy(set.prints_.data(), in, count * sizeof(BlockFingerprint));
  in += count * sizeof(BlockFingerprint);
  set.known_.assign(in, in + count);
  return set;
}

bool BlockFingerprints::save(const QString& path, QString* why) const {
  QByteArray bytes;
  bytes.reserve(qsizetype(fileSizeFor(blockCount())));
  bytes.append(kMagic, sizeof kMagic);
  put(bytes, kVersion);
  put(bytes, imageId_);
  put(bytes, std::uint64_t(blockCount()));
  put(bytes, secret_);
  bytes.append(reinterpret_cast<const char*>(prints_.data()),
               qsizetype(prints_.size() * sizeof(BlockFingerprint)));
  bytes.append(reinterpret_cast<const char*>(known_.data()), qsizetype(known_.size()));
  put(bytes, XXH64(bytes.constData(), std::size_t(bytes.size()), 0));
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size() ||
      !file.flush()) {
    *why = file.errorString();
    file.close();
    QFile::remove(path);
    return false;
  }
  return true;
}

BlockFingerprint BlockFingerprints::compute(const std::uint8_t* data, std::uint64_t length) const {
  const xxh3_kernels::Hash128 hash = xxh3_kernels::xxh3(data, length, secret_.data(), kSecretSize);
  BlockFingerprint print;
  std::memcpy(print.data(), &hash.low, sizeof hash.low);
  std::memcpy(print.data() + sizeof hash.low, &hash.high, sizeof hash.high);
  return print;
}

void BlockFingerprints::checkIndex(std::uint64_t index) const {
  if (index >= prints_.size()) throw std::out_of_range("block fingerprint index");
}

void BlockFingerprints::set(std::uint64_t index, const BlockFingerprint& print) {
  checkIndex(index);
  prints_[index] = print;
  known_[index] = 1;
}

bool BlockFingerprints::matches(std::uint64_t index, const BlockFingerprint& print) const {
  checkIndex(index);
  return known_[index] == 1 && prints_[index] == print;
}

}  // namespace kvn_formats::volume_image
