// System images on the box. An image arrives as a data stream (the sent
// blocks, each compressed and encrypted on its own) and a hashmap that
// says where each block's bytes lie. The box keeps both as they arrived:
// confirming a version costs no more than reading its hashmap, however big
// the image. Any version is rebuilt by decoding every block from the newest
// version that sent it, going back from parent to parent; that needs the
// box's data key.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

#include "kvn_crypto/bytes.h"

namespace boxsim {

class BackupStore;

// Checks a received image before it is stored: the hashmap reads, and the
// bytes of every sent block lie within the data stream. False with a reason.
bool checkImage(const QString& dataPath, const QString& hashmapPath, QString& reason);

// A used range of a rebuilt image, in bytes from its start.
struct ImageRange {
  std::uint64_t offset = 0;
  std::uint64_t length = 0;
};

struct RebuiltImage {
  std::uint64_t imageSize = 0;
  int version = 0;
  // The used chunks of every block that has any, block by block.
  std::vector<std::vector<ImageRange>> usedBlocks;
};

// Rebuilds version (1 = the first; 0 = the newest) of a volume of a job
// into output, a sparse file of the image's size. dataKey is the box's (see
// BoxIdentity), needed only when the blocks were encrypted. nullopt with a
// reason, also when a block does not decode to the used chunks its
// descriptor lists.
std::optional<RebuiltImage> rebuildImage(const BackupStore& store, std::int64_t jobId,
                                         const QString& volume, int version, const QString& output,
                                         const kvn_crypto::Bytes& dataKey, QString& reason);

struct ImageVerifyResult {
  int passed = 0;  // blocks whose used chunks equal the reference's
  int failed = 0;
  QStringList mismatches;
};

// Compares the used chunks of a rebuilt image with a device or image file.
ImageVerifyResult verifyImage(const RebuiltImage& image, const QString& rebuilt,
                              const QString& reference);

}  // namespace boxsim
