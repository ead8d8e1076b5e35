#include "kvn_compression/compressor.h"

#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "kvn_log/exception.h"

namespace kvn_compression {

namespace {

// Claims the busy flag for one operation, refusing a second concurrent one
// at once, and clears it however the operation ends.
class BusyGuard {
 public:
  explicit BusyGuard(std::atomic<bool>& flag) : flag_(flag) {
    bool idle = false;
    if (!flag_.compare_exchange_strong(idle, true))
      throw KvnCommonException(KVN_HERE, KVN_E_EXCEPTION, "Thread is already running ");
  }
  ~BusyGuard() { flag_ = false; }

 private:
  std::atomic<bool>& flag_;
};

[[noreturn]] void failStep(const char* name, int result) {
  const char* label = nullptr;
  switch (result) {
    case Z_VERSION_ERROR: label = "Z_VERSION_ERROR"; break;
    case Z_MEM_ERROR: label = "Z_MEM_ERROR"; break;
    case Z_DATA_ERROR: label = "Z_DATA_ERROR"; break;
    case Z_STREAM_ERROR: label = "Z_STREAM_ERROR"; break;
    default:
      throw KvnCommonException::withCode(KVN_HERE, KVN_E_EXCEPTION, "%s: Unexpected error %d", name,
                                         result);
  }
  throw KvnCommonException::withCode(KVN_HERE, KVN_E_EXCEPTION, "Error %s %s %d", name, label,
                                     result);
}

std::uint32_t limited(std::size_t size) {
  return static_cast<std::uint32_t>(
      std::min<std::size_t>(size, std::numeric_limits<std::uint32_t>::max()));
}

// Where the library writes: a buffer kept from payload to payload, so
// that it is allocated and cleared only when a larger payload comes.
struct OutputWindow {
  Bytef* at;
  std::size_t room;
};

OutputWindow grow(Compressor::Bytes& scratch, std::size_t room) {
  if (scratch.size() < room) scratch.resize(room);
  return {scratch.data(), scratch.size()};
}

}  // namespace

// One deflate state of the chosen library.
class Compressor::Deflater {
 public:
  Deflater(GzipEngine engine, int level) : engine_(engine) {
    if (engine_ == GzipEngine::Isal) {
      levelBuffer_.resize(ISAL_DEF_LVL1_DEFAULT);
      isal_deflate_init(&isal_);
      return;
    }
    std::memset(&zlib_, 0, sizeof zlib_);
    const int result = deflateInit(&zlib_, level);
    if (result != Z_OK)
      throw KvnCommonException::withCode(KVN_HERE, KVN_E_EXCEPTION, "Error deflate Init: %d",
                                         result);
  }
  ~Deflater() {
    if (engine_ == GzipEngine::Zlib) deflateEnd(&zlib_);
  }

  // Appends the compressed form of data to out. The input goes in slices,
  // so that a stop request ends a long operation.
  void run(const std::uint8_t* data, std::size_t size, Bytes& out, const std::atomic<bool>& stop) {
    constexpr std::size_t kSlice = 1 << 20;
    // zlib's bound holds for ISA-L's stored blocks too; the output still
    // grows when a library needs more.
    OutputWindow window = grow(scratch_, deflateBound(nullptr, static_cast<uLong>(size)) + 64);
    std::size_t produced = 0;
    reset();
    std::size_t left = size;
    for (bool ended = false; !ended;) {
      if (stop)
        throw KvnCommonException::withCode(KVN_HERE, KVN_E_STOPPED, "deflate stopped by User");
      const std::size_t slice = std::min(left, kSlice);
      const bool last = slice == left;
      std::size_t pending = slice;
      const std::uint8_t* in = data + (size - left);
      do {
        if (produced == window.room) window = grow(scratch_, window.room * 2);
        const Step done = step(in, pending, window.at + produced, window.room - produced, last);
        in += done.consumed;
        pending -= done.consumed;
        produced += done.produced;
        ended = done.ended;
      } while (pending > 0 || (last && !ended));
      left -= slice;
    }
    out.insert(out.end(), scratch_.begin(), scratch_.begin() + std::ptrdiff_t(produced));
  }

 private:
  struct Step {
    std::size_t consumed;
    std::size_t produced;
    bool ended;
  };

  void reset() {
    if (engine_ == GzipEngine::Zlib) {
      deflateReset(&zlib_);
      return;
    }
    isal_deflate_reset(&isal_);
    isal_.level = 1;
    isal_.level_buf = levelBuffer_.data();
    isal_.level_buf_size = static_cast<std::uint32_t>(levelBuffer_.size());
    isal_.gzip_flag = IGZIP_ZLIB;
    isal_.flush = NO_FLUSH;
  }

  // One library call: input up to the slice's end, output into the room.
  Step step(const std::uint8_t* in, std::size_t inSize, std::uint8_t* out, std::size_t outSize,
            bool last) {
    if (engine_ == GzipEngine::Isal) {
      isal_.next_in = const_cast<std::uint8_t*>(in);
      isal_.avail_in = limited(inSize);
      isal_.next_out = out;
      isal_.avail_out = limited(outSize);
      isal_.end_of_stream = last ? 1 : 0;
      const std::uint32_t availIn = isal_.avail_in;
      const std::uint32_t availOut = isal_.avail_out;
      // Only wrong parameters fail here, never the data.
      if (isal_deflate(&isal_) != COMP_OK) failStep("deflate", Z_STREAM_ERROR);
      return {availIn - isal_.avail_in, availOut - isal_.avail_out,
              isal_.internal_state.state == ZSTATE_END};
    }
    zlib_.next_in = const_cast<Bytef*>(in);
    zlib_.avail_in = static_cast<uInt>(std::min<std::size_t>(inSize, kSliceLimit));
    zlib_.next_out = out;
    zlib_.avail_out = static_cast<uInt>(std::min<std::size_t>(outSize, kSliceLimit));
    const uInt availIn = zlib_.avail_in;
    const uInt availOut = zlib_.avail_out;
    const int result = deflate(&zlib_, last ? Z_FINISH : Z_NO_FLUSH);
    if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
      failStep("deflate", result);
    return {availIn - zlib_.avail_in, availOut - zlib_.avail_out, result == Z_STREAM_END};
  }

  static constexpr std::size_t kSliceLimit = std::numeric_limits<uInt>::max();

  GzipEngine engine_;
  Bytes scratch_;
  z_stream zlib_{};
  isal_zstream isal_{};
  std::vector<std::uint8_t> levelBuffer_;
};

// ISA-L's inflate state: the Huffman tables and a 32 KiB window, too big
// to set up for every packet.
class Compressor::Inflater {
 public:
  Inflater() : state_(std::make_unique<inflate_state>()) { isal_inflate_init(state_.get()); }

  // Appends the decompressed form of data to out, at most maxOutput bytes.
  void run(const std::uint8_t* data, std::size_t size, Bytes& out, std::size_t firstRoom,
           std::size_t maxOutput, const std::atomic<bool>& stop) {
    // One byte over the limit is how an oversized result shows itself.
    const std::size_t cap = maxOutput == kUnlimited ? kUnlimited : maxOutput + 1;
    OutputWindow window = grow(scratch_, std::min(cap, std::max<std::size_t>(firstRoom, 1)));
    if (window.room > cap) window.room = cap;
    std::size_t produced = 0;
    isal_inflate_reset(state_.get());
    state_->crc_flag = ISAL_ZLIB;
    state_->next_in = const_cast<std::uint8_t*>(data);
    state_->avail_in = limited(size);
    for (;;) {
      if (stop)
        throw KvnCommonException::withCode(KVN_HERE, KVN_E_STOPPED, "inflate stopped by User");
      state_->next_out = window.at + produced;
      state_->avail_out = limited(window.room - produced);
      const std::uint32_t before = state_->avail_out;
      const std::uint32_t inputBefore = state_->avail_in;
      const int result = isal_inflate(state_.get());
      if (result < 0 || result == ISAL_NEED_DICT) failStep("inflate", Z_DATA_ERROR);
      produced += before - state_->avail_out;
      if (produced > maxOutput)
        throw KvnCommonException::withCode(KVN_HERE, KVN_E_EXCEPTION,
                                           "Error inflate output over %zu bytes", maxOutput);
      // Bytes after the end of the stream are not data.
      if (state_->block_state == ISAL_BLOCK_FINISH) break;
      if (state_->avail_out != 0) {
        // All input read (or none taken) with room left: the stream stops
        // before its end.
        if (state_->avail_in == 0 ||
            (state_->avail_in == inputBefore && before == state_->avail_out))
          throw KvnCommonException::withCode(KVN_HERE, KVN_E_EXCEPTION, "inflate error %d",
                                             Z_BUF_ERROR);
        continue;
      }
      if (window.room >= cap) continue;  // the next step reports the overflow
      window = grow(scratch_, window.room > cap / 2 ? cap : window.room * 2);
      if (window.room > cap) window.room = cap;
    }
    out.insert(out.end(), scratch_.begin(), scratch_.begin() + std::ptrdiff_t(produced));
  }

 private:
  Bytes scratch_;
  std::unique_ptr<inflate_state> state_;
};

// The state is reset for each payload, so equal payloads deflate to equal
// bytes. A connection sends some small payloads again and again (an action
// without fields, once per file, between payloads that differ): the last
// few small ones are kept with their result, and a repeat costs a compare
// instead of a whole deflate call.
class Compressor::Repeats {
 public:
  // Appends the remembered result for this payload to out; false when
  // there is none.
  bool find(const std::uint8_t* data, std::size_t size, Bytes& out) {
    if (size > kLimit) return false;
    for (Entry& entry : entries_) {
      if (entry.input.size() != size || entry.used == 0 ||
          !std::equal(data, data + size, entry.input.begin()))
        continue;
      entry.used = ++clock_;
      out.insert(out.end(), entry.output.begin(), entry.output.end());
      return true;
    }
    return false;
  }

  // Keeps a small payload's result in place of the one used longest ago.
  void remember(const std::uint8_t* data, std::size_t size, const std::uint8_t* result,
                std::size_t resultSize) {
    if (size > kLimit) return;
    Entry& oldest =
        *std::min_element(entries_.begin(), entries_.end(),
                          [](const Entry& a, const Entry& b) { return a.used < b.used; });
    oldest.input.assign(data, data + size);
    oldest.output.assign(result, result + resultSize);
    oldest.used = ++clock_;
  }

 private:
  static constexpr std::size_t kLimit = 256;
  // Room for one repeated payload between two that change each time.
  static constexpr std::size_t kEntries = 4;

  struct Entry {
    Bytes input;
    Bytes output;
    std::uint64_t used = 0;  // 0: empty
  };
  std::array<Entry, kEntries> entries_;
  std::uint64_t clock_ = 0;
};

Compressor::Compressor(std::size_t bufferSize, int level, GzipEngine deflateEngine)
    : bufferSize_(std::max<std::size_t>(bufferSize, 1)),
      deflater_(std::make_unique<Deflater>(deflateEngine, level)),
      inflater_(std::make_unique<Inflater>()),
      repeats_(std::make_unique<Repeats>()) {}

Compressor::~Compressor() = default;

Compressor::Bytes Compressor::compress(const std::uint8_t* data, std::size_t size) {
  Bytes out;
  compressInto(data, size, out);
  return out;
}

Compressor::Bytes Compressor::decompress(const std::uint8_t* data, std::size_t size,
                                         std::size_t maxOutput) {
  Bytes out;
  decompressInto(data, size, out, maxOutput);
  return out;
}

void Compressor::compressInto(const std::uint8_t* data, std::size_t size, Bytes& out) {
  BusyGuard guard(busy_);
  if (!stop_ && repeats_->find(data, size, out)) return;
  const std::size_t start = out.size();
  try {
    deflater_->run(data, size, out, stop_);
  } catch (...) {
    out.resize(start);
    throw;
  }
  repeats_->remember(data, size, out.data() + start, out.size() - start);
}

void Compressor::decompressInto(const std::uint8_t* data, std::size_t size, Bytes& out,
                                std::size_t maxOutput) {
  BusyGuard guard(busy_);
  const std::size_t start = out.size();
  try {
    // Packets mostly hold up to a few times their compressed size.
    inflater_->run(data, size, out, std::max(bufferSize_, size * 4), maxOutput, stop_);
  } catch (...) {
    out.resize(start);
    throw;
  }
}

}  // namespace kvn_compression
