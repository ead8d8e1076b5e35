#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <limits>
#include <memory>
#include <vector>

#include "gzip_codec.h"

namespace kvn_compression {

namespace {

std::uint32_t limited(std::size_t size) {
  return static_cast<std::uint32_t>(
      std::min<std::size_t>(size, std::numeric_limits<std::uint32_t>::max()));
}

class IsalDeflate : public GzipCodec {
 public:
  // The level buffer is left as allocated: the first deflate call resets
  // its hash table, and zeroing a quarter of a MiB per stream would cost
  // more than deflating a small file.
  IsalDeflate() : levelBuffer_(std::make_unique_for_overwrite<std::uint8_t[]>(kLevelBuffer)) {
    isal_deflate_init(&stream_);
    stream_.level = 1;
    stream_.level_buf = levelBuffer_.get();
    stream_.level_buf_size = kLevelBuffer;
    stream_.gzip_flag = IGZIP_GZIP;
    stream_.flush = NO_FLUSH;
  }

  CodecStep step(const char* in, std::size_t inSize, char* out, std::size_t outSize,
                 bool finish) override {
    stream_.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(in));
    stream_.avail_in = limited(inSize);
    stream_.next_out = reinterpret_cast<std::uint8_t*>(out);
    stream_.avail_out = limited(outSize);
    stream_.end_of_stream = finish ? 1 : 0;
    const std::uint32_t availIn = stream_.avail_in;
    const std::uint32_t availOut = stream_.avail_out;
    const int result = isal_deflate(&stream_);
    // Only wrong parameters fail here, never the data.
    if (result != COMP_OK) throwZlibError(Z_STREAM_ERROR, "isal_deflate refused its parameters");
    return {availIn - stream_.avail_in, availOut - stream_.avail_out,
            stream_.internal_state.state == ZSTATE_END};
  }

 private:
  static constexpr std::uint32_t kLevelBuffer = ISAL_DEF_LVL1_DEFAULT;
  std::unique_ptr<std::uint8_t[]> levelBuffer_;
  // Left uninitialised for the same reason (its buffers are as large as the
  // level buffer): isal_deflate_init sets what the library reads.
  isal_zstream stream_;
};

const char* inflateErrorText(int result) {
  switch (result) {
    case ISAL_INVALID_BLOCK: return "invalid block";
    case ISAL_INVALID_SYMBOL: return "invalid symbol";
    case ISAL_INVALID_LOOKBACK: return "invalid distance too far back";
    case ISAL_INVALID_WRAPPER: return "invalid gzip header";
    case ISAL_UNSUPPORTED_METHOD: return "unknown compression method";
    case ISAL_INCORRECT_CHECKSUM: return "incorrect data check";
    case ISAL_NEED_DICT: return "dictionary needed";
    default: return "invalid data";
  }
}

class IsalInflate : public GzipCodec {
 public:
  // The state holds the Huffman tables and a 64 KiB window: too big for the
  // stack, and left unzeroed: isal_inflate_init sets every field the
  // decoder reads before it writes it, and clearing the tables cost a
  // receiver of many small files as much as inflating them.
  IsalInflate() : state_(std::make_unique_for_overwrite<inflate_state>()) {
    isal_inflate_init(state_.get());
    state_->crc_flag = ISAL_GZIP;
  }

  CodecStep step(const char* in, std::size_t inSize, char* out, std::size_t outSize,
                 bool /*finish*/) override {
    state_->next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(in));
    state_->avail_in = limited(inSize);
    state_->next_out = reinterpret_cast<std::uint8_t*>(out);
    state_->avail_out = limited(outSize);
    const std::uint32_t availIn = state_->avail_in;
    const std::uint32_t availOut = state_->avail_out;
    const int result = isal_inflate(state_.get());
    if (result < 0 || result == ISAL_NEED_DICT) {
      throwZlibError(Z_DATA_ERROR, inflateErrorText(result));
    }
    const CodecStep step{availIn - state_->avail_in, availOut - state_->avail_out,
                         state_->block_state == ISAL_BLOCK_FINISH};
    // zlib's answer to a stream that stops before its end.
    if (step.consumed == 0 && step.produced == 0 && !step.ended) {
      throwZlibError(Z_BUF_ERROR, nullptr);
    }
    return step;
  }

 private:
  std::unique_ptr<inflate_state> state_;
};

}  // namespace

std::unique_ptr<GzipCodec> makeIsalDeflate() { return std::make_unique<IsalDeflate>(); }

std::unique_ptr<GzipCodec> makeIsalInflate() { return std::make_unique<IsalInflate>(); }

}  // namespace kvn_compression
