#include <zlib.h>

#include <limits>

#include "gzip_codec.h"
#include "kvn_log/exception.h"

namespace kvn_compression {

namespace {

// Window bits 15 plus 16: the gzip wrapper instead of zlib's.
constexpr int kGzipWindowBits = 31;
constexpr int kMemoryLevel = 8;

uInt limited(std::size_t size) {
  return static_cast<uInt>(std::min<std::size_t>(size, std::numeric_limits<uInt>::max()));
}

class ZlibCodec : public GzipCodec {
 public:
  explicit ZlibCodec(bool compress) : compress_(compress) {
    // Allocation through zlib's default, malloc and free.
    const int result = compress ? deflateInit2(&stream_, 1, Z_DEFLATED, kGzipWindowBits,
                                               kMemoryLevel, Z_DEFAULT_STRATEGY)
                                : inflateInit2(&stream_, kGzipWindowBits);
    if (result != Z_OK) throwZlibError(result, stream_.msg);
  }
  ~ZlibCodec() override { compress_ ? deflateEnd(&stream_) : inflateEnd(&stream_); }

  CodecStep step(const char* in, std::size_t inSize, char* out, std::size_t outSize,
                 bool finish) override {
    stream_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in));
    stream_.avail_in = limited(inSize);
    stream_.next_out = reinterpret_cast<Bytef*>(out);
    stream_.avail_out = limited(outSize);
    const uInt availIn = stream_.avail_in;
    const uInt availOut = stream_.avail_out;
    const int result = compress_ ? deflate(&stream_, finish ? Z_FINISH : Z_NO_FLUSH)
                                 : inflate(&stream_, finish ? Z_FINISH : Z_SYNC_FLUSH);
    CodecStep step;
    step.consumed = availIn - stream_.avail_in;
    step.produced = availOut - stream_.avail_out;
    step.ended = result == Z_STREAM_END;
    // With Z_FINISH, inflate reports a full output buffer as Z_BUF_ERROR; it
    // is only an error when nothing moved.
    const bool moved = step.consumed != 0 || step.produced != 0;
    if (result != Z_OK && result != Z_STREAM_END && !(result == Z_BUF_ERROR && moved)) {
      throwZlibError(result, stream_.msg);
    }
    return step;
  }

 private:
  bool compress_;
  z_stream stream_{};
};

}  // namespace

std::unique_ptr<GzipCodec> makeZlibDeflate() { return std::make_unique<ZlibCodec>(true); }

std::unique_ptr<GzipCodec> makeZlibInflate() { return std::make_unique<ZlibCodec>(false); }

void throwZlibError(int result, const char* message) {
  if (message != nullptr) KVN_THROW_F("ZLib error %d: %s", result, message);
  KVN_THROW_F("ZLib error %d", result);
}

}  // namespace kvn_compression
