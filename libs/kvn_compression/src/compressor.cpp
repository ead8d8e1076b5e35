#include "kvn_compression/compressor.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kvn_log/exception.h"

namespace kvn_compression {

namespace {

// Clears the busy flag however the operation ends.
class BusyGuard {
 public:
  explicit BusyGuard(std::atomic<bool>& flag) : flag_(flag) {}
  ~BusyGuard() { flag_ = false; }

 private:
  std::atomic<bool>& flag_;
};

[[noreturn]] void failStep(const char* name, int result) {
  switch (result) {
    case Z_VERSION_ERROR:
      throw KvnCommonException::withCode(KVN_HERE, KVN_E_EXCEPTION, "Error %s Z_VERSION_ERROR %d",
                                         name, result);
    case Z_MEM_ERROR:
      throw KvnCommonException::withCode(KVN_HERE, KVN_E_EXCEPTION, "Error %s Z_MEM_ERROR %d", name,
                                         result);
    case Z_DATA_ERROR:
      throw KvnCommonException::withCode(KVN_HERE, KVN_E_EXCEPTION, "Error %s Z_DATA_ERROR %d",
                                         name, result);
    case Z_STREAM_ERROR:
      throw KvnCommonException::withCode(KVN_HERE, KVN_E_EXCEPTION, "Error %s Z_STREAM_ERROR %d",
                                         name, result);
    default:
      throw KvnCommonException::withCode(KVN_HERE, KVN_E_EXCEPTION, "%s: Unexpected error %d", name,
                                         result);
  }
}

}  // namespace

// One zlib stream of either direction, ended with the compressor.
class Compressor::Stream {
 public:
  Stream(bool deflating, int level) : deflating_(deflating) {
    std::memset(&stream_, 0, sizeof stream_);
    const int result = deflating ? deflateInit(&stream_, level) : inflateInit(&stream_);
    if (result != Z_OK)
      throw KvnCommonException::withCode(KVN_HERE, KVN_E_EXCEPTION, "Error %s Init: %d", name(),
                                         result);
  }
  ~Stream() { deflating_ ? deflateEnd(&stream_) : inflateEnd(&stream_); }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Back to a fresh stream, whatever the last operation left (an error or
  // a stop in the middle included).
  void reset() {
    const int result = deflating_ ? deflateReset(&stream_) : inflateReset(&stream_);
    if (result != Z_OK) failStep(deflating_ ? "deflateReset" : "inflateReset", result);
  }
  int run(int flush) { return deflating_ ? deflate(&stream_, flush) : inflate(&stream_, flush); }
  const char* name() const { return deflating_ ? "deflate" : "inflate"; }
  z_stream* operator->() { return &stream_; }

 private:
  z_stream stream_;
  bool deflating_;
};

Compressor::Compressor(std::size_t bufferSize, int level)
    : buffer_(std::clamp<std::size_t>(bufferSize, 1, std::numeric_limits<uInt>::max())),
      level_(level) {}

Compressor::~Compressor() = default;

Compressor::Stream& Compressor::stream(Mode mode) {
  std::unique_ptr<Stream>& slot = mode == Mode::Deflate ? deflater_ : inflater_;
  if (slot) {
    slot->reset();
  } else {
    slot = std::make_unique<Stream>(mode == Mode::Deflate, level_);
  }
  return *slot;
}

Compressor::Bytes Compressor::compress(const std::uint8_t* data, std::size_t size) {
  return run(Mode::Deflate, data, size, kUnlimited);
}

Compressor::Bytes Compressor::decompress(const std::uint8_t* data, std::size_t size,
                                         std::size_t maxOutput) {
  return run(Mode::Inflate, data, size, maxOutput);
}

Compressor::Bytes Compressor::run(Mode mode, const std::uint8_t* data, std::size_t size,
                                  std::size_t maxOutput) {
  bool idle = false;
  if (!busy_.compare_exchange_strong(idle, true))
    throw KvnCommonException(KVN_HERE, KVN_E_EXCEPTION, "Thread is already running ");
  BusyGuard guard(busy_);

  Stream& z = stream(mode);
  const char* name = z.name();
  Bytes result;
  auto restartOutput = [&] {
    z->next_out = buffer_.data();
    z->avail_out = static_cast<uInt>(buffer_.size());
  };
  auto flushOutput = [&] {
    const std::size_t produced = buffer_.size() - z->avail_out;
    if (produced > maxOutput - result.size())
      throw KvnCommonException::withCode(KVN_HERE, KVN_E_EXCEPTION,
                                         "Error %s output over %zu bytes", name, maxOutput);
    result.insert(result.end(), buffer_.data(), buffer_.data() + produced);
    restartOutput();
  };
  auto checkStop = [&] {
    if (stop_)
      throw KvnCommonException::withCode(KVN_HERE, KVN_E_STOPPED, "%s stopped by User", name);
  };
  restartOutput();

  const std::uint8_t* input = data;
  std::size_t remaining = size;
  bool ended = false;
  while (remaining > 0 && !ended) {
    checkStop();
    const uInt chunk =
        static_cast<uInt>(std::min<std::size_t>(remaining, std::numeric_limits<uInt>::max()));
    z->next_in = const_cast<Bytef*>(input);
    z->avail_in = chunk;
    const int step = z.run(Z_NO_FLUSH);
    if (step != Z_OK && step != Z_STREAM_END) failStep(name, step);
    // Trailing bytes after the end of a zlib stream are not data; inflate
    // would make no progress on them.
    ended = step == Z_STREAM_END;
    const std::size_t used = chunk - z->avail_in;
    input += used;
    remaining -= used;
    if (z->avail_out == 0) flushOutput();
  }

  for (;;) {
    checkStop();
    if (z->avail_out == 0) flushOutput();
    z->next_in = const_cast<Bytef*>(input);
    z->avail_in =
        static_cast<uInt>(std::min<std::size_t>(remaining, std::numeric_limits<uInt>::max()));
    const int step = z.run(Z_FINISH);
    if (step == Z_STREAM_END) {
      flushOutput();
      break;
    }
    // inflate reports a full output buffer under Z_FINISH as Z_BUF_ERROR;
    // that is progress, not a fault.
    const bool outputFull = step == Z_BUF_ERROR && z->avail_out == 0;
    if (step != Z_OK && !outputFull)
      throw KvnCommonException::withCode(KVN_HERE, KVN_E_EXCEPTION, "%s error %d", name, step);
  }
  return result;
}

}  // namespace kvn_compression
