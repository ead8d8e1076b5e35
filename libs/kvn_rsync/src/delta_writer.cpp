#include "delta_writer.h"

#include <librsync.h>

namespace kvn_rsync {

namespace {

// librsync's command bytes.
constexpr std::uint8_t kOpEnd = 0x00;
constexpr std::uint8_t kOpLiteralLongest = 0x40;  // lengths 1..64 in the byte itself
constexpr std::uint8_t kOpLiteralN1 = 0x41;
constexpr std::uint8_t kOpCopyN1N1 = 0x45;

// The index of the narrowest of 1, 2, 4 and 8 bytes that holds value.
std::size_t widthIndex(std::uint64_t value) {
  if (value <= 0xff) return 0;
  if (value <= 0xffff) return 1;
  if (value <= 0xffffffff) return 2;
  return 3;
}

constexpr std::size_t kWidths[4] = {1, 2, 4, 8};

}  // namespace

void DeltaWriter::putMagic(kvn_common::StreamSink& out) {
  if (magicDone_) return;
  magicDone_ = true;
  output_.putBig(out, RS_DELTA_MAGIC, 4);
}

void DeltaWriter::literal(kvn_common::StreamSink& out, const std::uint8_t* data,
                          std::size_t length) {
  if (length == 0) return;
  putMagic(out);
  flushCopy(out);
  if (length <= kOpLiteralLongest) {
    const std::uint8_t op = static_cast<std::uint8_t>(length);
    output_.append(out, &op, 1);
  } else {
    const std::size_t width = widthIndex(length);
    const std::uint8_t op = static_cast<std::uint8_t>(kOpLiteralN1 + width);
    output_.append(out, &op, 1);
    output_.putBig(out, length, kWidths[width]);
  }
  output_.append(out, data, length);
}

void DeltaWriter::copy(kvn_common::StreamSink& out, std::uint64_t basisOffset,
                       std::uint64_t length) {
  putMagic(out);
  if (copyLength_ > 0 && basisOffset == copyEnd()) {
    copyLength_ += length;
    return;
  }
  flushCopy(out);
  copyStart_ = basisOffset;
  copyLength_ = length;
}

void DeltaWriter::flushCopy(kvn_common::StreamSink& out) {
  if (copyLength_ == 0) return;
  const std::size_t offsetWidth = widthIndex(copyStart_);
  const std::size_t lengthWidth = widthIndex(copyLength_);
  const std::uint8_t op = static_cast<std::uint8_t>(kOpCopyN1N1 + 4 * offsetWidth + lengthWidth);
  output_.append(out, &op, 1);
  output_.putBig(out, copyStart_, kWidths[offsetWidth]);
  output_.putBig(out, copyLength_, kWidths[lengthWidth]);
  copyLength_ = 0;
}

void DeltaWriter::finish(kvn_common::StreamSink& out) {
  putMagic(out);
  flushCopy(out);
  output_.append(out, &kOpEnd, 1);
  output_.flush(out);
}

}  // namespace kvn_rsync
