// Hashmap files: open arbitrary bytes as a hashmap, then read every block
// descriptor, the disk meta data and the hardware description. Refusals are
// the expected KvnCommonExceptions; a crash, a read past the input or an
// allocation beyond the input's size is a finding.
#include <QBuffer>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "kvn_formats/volume_image/hashmap_reader.h"
#include "kvn_log/exception.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kvn_formats::volume_image;
  auto buffer = std::make_unique<QBuffer>();
  buffer->setData(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
  try {
    HashmapReader reader(std::move(buffer), QStringLiteral("fuzz"));
    HashmapBlockDesc desc;
    for (std::uint64_t i = 0; i < reader.blockCount(); ++i) {
      if (reader.readBlock(i, &desc)) {
        for (std::uint32_t c = 0; c < kMaxChunksPerBlock; ++c) desc.isChunkUsed(c);
      }
    }
    reader.metaData();
    reader.hardwareInfo();
    reader.fsName();
  } catch (const KvnCommonException&) {
  }
  return 0;
}
