#include "kvn_compression/deflate_stream.h"

#include <zlib.h>

#include <algorithm>

#include "gzip_codec.h"

namespace kvn_compression {

GzipStream::GzipStream(Direction direction, std::uint32_t bufferSize, GzipEngine engine)
    : direction_(direction),
      engine_(engine),
      // Written before it is read: not zeroed, which would cost as much as
      // compressing a small file.
      buffer_(std::make_unique_for_overwrite<char[]>(std::max<std::uint32_t>(bufferSize, 1))),
      bufferSize_(std::max<std::uint32_t>(bufferSize, 1)) {}

GzipStream::~GzipStream() = default;

void GzipStream::write(const char* data, std::uint32_t size) {
  if (size == 0) return;
  if (!codec_) {
    const bool isal = engine_ == GzipEngine::Isal;
    if (direction_ == Direction::Compress) {
      codec_ = isal ? makeIsalDeflate() : makeZlibDeflate();
    } else {
      codec_ = isal ? makeIsalInflate() : makeZlibInflate();
    }
  }
  while (size > 0) {
    // One gzip member per stream: bytes behind it would be lost unseen.
    if (ended_) throwZlibError(Z_DATA_ERROR, "data after the end of the gzip stream");
    const CodecStep step =
        codec_->step(data, size, buffer_.get() + used_, bufferSize_ - used_, false);
    if (step.consumed == 0 && step.produced == 0 && !step.ended) {
      throwZlibError(Z_BUF_ERROR, nullptr);
    }
    data += step.consumed;
    size -= static_cast<std::uint32_t>(step.consumed);
    used_ += static_cast<std::uint32_t>(step.produced);
    ended_ = step.ended;
    if (used_ == bufferSize_ || ended_) passOn();
  }
}

void GzipStream::end() {
  if (codec_) {
    while (!ended_) {
      if (used_ == bufferSize_) passOn();
      const CodecStep step =
          codec_->step(nullptr, 0, buffer_.get() + used_, bufferSize_ - used_, true);
      used_ += static_cast<std::uint32_t>(step.produced);
      ended_ = step.ended;
      passOn();
      // A stream that can neither move nor end was cut short.
      if (!ended_ && step.produced == 0) throwZlibError(Z_BUF_ERROR, nullptr);
    }
    codec_.reset();
  }
  forward().end();
}

void GzipStream::passOn() {
  if (used_ == 0) return;
  const std::uint32_t size = used_;
  used_ = 0;
  forward().write(buffer_.get(), size);
}

}  // namespace kvn_compression
