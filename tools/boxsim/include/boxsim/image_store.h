// System images on the box. An image arrives as a data stream (the sent
// blocks, each compressed and encrypted on its own) and a hashmap that
// says where each block's bytes lie. The box decodes the stream at once
// into a sparse file laid out like the volume, holding only the blocks sent
// with this version; any version is rebuilt by taking every block from the
// newest version that sent it, going back from parent to parent.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>
#include <vector>

namespace kvn_crypto {
class AesContext;
}

namespace boxsim {

class BackupStore;

// Decodes dataPath by the descriptors of hashmapPath into contentPath
// (created sparse, of the image's size). False with a reason when a block
// does not decode or its bytes are not where its descriptor says.
bool decodeImage(const QString& dataPath, const QString& hashmapPath, const QString& contentPath,
                 kvn_crypto::AesContext& cipher, QString& reason);

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
// into output, a sparse file of the image's size. nullopt with a reason.
std::optional<RebuiltImage> rebuildImage(const BackupStore& store, std::int64_t jobId,
                                         const QString& volume, int version, const QString& output,
                                         QString& reason);

struct ImageVerifyResult {
  int passed = 0;  // blocks whose used chunks equal the reference's
  int failed = 0;
  QStringList mismatches;
};

// Compares the used chunks of a rebuilt image with a device or image file.
ImageVerifyResult verifyImage(const RebuiltImage& image, const QString& rebuilt,
                              const QString& reference);

}  // namespace boxsim
