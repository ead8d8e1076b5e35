#include "kvn_compression/lz4_stream.h"

#include <lz4frame.h>

#include <algorithm>

#include "kvn_log/exception.h"

namespace kvn_compression {

namespace {

std::size_t checked(std::size_t result) {
  if (LZ4F_isError(result)) {
    KVN_THROW_F("LZ4 error %d: %s", static_cast<int>(result), LZ4F_getErrorName(result));
  }
  return result;
}

}  // namespace

void Lz4CompressionFree::operator()(LZ4F_cctx_s* context) const {
  LZ4F_freeCompressionContext(context);
}

void Lz4DecompressionFree::operator()(LZ4F_dctx_s* context) const {
  LZ4F_freeDecompressionContext(context);
}

Lz4CompressStream::Lz4CompressStream(std::uint32_t blockSize)
    : blockSize_(std::max<std::uint32_t>(blockSize, 1)),
      bufferSize_(LZ4F_compressBound(blockSize_, nullptr)),
      buffer_(std::make_unique<char[]>(bufferSize_)) {}

Lz4CompressStream::~Lz4CompressStream() = default;

void Lz4CompressStream::write(const char* data, std::uint32_t size) {
  if (size == 0) return;
  if (!context_) {
    LZ4F_cctx* context = nullptr;
    checked(LZ4F_createCompressionContext(&context, LZ4F_VERSION));
    context_.reset(context);
  }
  if (!inFrame_) {
    passOn(checked(LZ4F_compressBegin(context_.get(), buffer_.get(), bufferSize_, nullptr)));
    inFrame_ = true;
  }
  while (size > 0) {
    const std::uint32_t piece = std::min(size, blockSize_);
    passOn(checked(
        LZ4F_compressUpdate(context_.get(), buffer_.get(), bufferSize_, data, piece, nullptr)));
    data += piece;
    size -= piece;
  }
}

void Lz4CompressStream::end() {
  if (inFrame_) {
    // The context stays for the next frame: a volume image makes one frame
    // per block, and a fresh context each time costs its tables.
    inFrame_ = false;
    passOn(checked(LZ4F_compressEnd(context_.get(), buffer_.get(), bufferSize_, nullptr)));
  }
  forward().end();
}

void Lz4CompressStream::passOn(std::size_t produced) {
  if (produced != 0) forward().write(buffer_.get(), static_cast<std::uint32_t>(produced));
}

Lz4DecompressStream::Lz4DecompressStream(std::uint32_t bufferSize)
    : bufferSize_(std::max<std::uint32_t>(bufferSize, 1)),
      buffer_(std::make_unique<char[]>(bufferSize_)) {}

Lz4DecompressStream::~Lz4DecompressStream() = default;

void Lz4DecompressStream::write(const char* data, std::uint32_t size) {
  if (!context_) {
    LZ4F_dctx* context = nullptr;
    checked(LZ4F_createDecompressionContext(&context, LZ4F_VERSION));
    context_.reset(context);
  }
  while (size > 0) {
    std::size_t produced = bufferSize_;
    std::size_t consumed = size;
    checked(LZ4F_decompress(context_.get(), buffer_.get(), &produced, data, &consumed, nullptr));
    if (consumed == 0 && produced == 0) {
      throw KvnCommonException(KVN_HERE, "LZ4 error impl doesn't buffer partial data, FIXME");
    }
    if (produced != 0) forward().write(buffer_.get(), static_cast<std::uint32_t>(produced));
    data += consumed;
    size -= static_cast<std::uint32_t>(consumed);
  }
}

void Lz4DecompressStream::end() {
  if (context_) {
    // Freeing reports the decoder's stage: anything but "waiting for the
    // next frame" means the last frame was cut short.
    const LZ4F_errorCode_t result = LZ4F_freeDecompressionContext(context_.release());
    if (result != 0) {
      KVN_THROW_F("LZ4 error incomplete decompression, return: %d", static_cast<int>(result));
    }
  }
  forward().end();
}

}  // namespace kvn_compression
