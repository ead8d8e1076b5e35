// DeflateStream on ISA-L and on zlib against a bare zlib level-1 loop, and
// InflateStream on both against a bare zlib inflate loop, all on the same
// mixed data in the same run.
#include <benchmark/benchmark.h>
#include <isa-l/igzip_lib.h>
#include <zlib.h>

#include <memory>
#include <vector>

#include "../tests/kvn_compression/mixed_data.h"
#include "kvn_compression/deflate_stream.h"
#include "ratio_reporter.h"

namespace {

using kvn_compression::GzipEngine;

constexpr std::size_t kDataSize = 16 * 0x100000;
constexpr std::size_t kChunk = 0x10000;  // what the file source pushes
constexpr int kRepetitions = 5;
constexpr int kIterations = 3;

const std::string& data() {
  static const std::string d = kvn_test::mixedData(kDataSize);
  return d;
}

// Feeds input in file-source-sized chunks through a zlib stream with a
// 64 KiB output buffer, the way the stream does, with nothing around it.
std::uint64_t bareZlib(const std::string& input, bool compress) {
  z_stream s{};
  if (compress) {
    deflateInit2(&s, 1, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
  } else {
    inflateInit2(&s, 31);
  }
  const auto out = std::make_unique<Bytef[]>(kChunk);
  std::uint64_t produced = 0;
  int result = Z_OK;
  for (std::size_t at = 0; at < input.size(); at += kChunk) {
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data() + at));
    s.avail_in = static_cast<uInt>(std::min(kChunk, input.size() - at));
    while (s.avail_in > 0 && result != Z_STREAM_END) {
      s.next_out = out.get();
      s.avail_out = kChunk;
      result = compress ? deflate(&s, Z_NO_FLUSH) : inflate(&s, Z_SYNC_FLUSH);
      produced += kChunk - s.avail_out;
    }
  }
  while (compress && result != Z_STREAM_END) {
    s.next_out = out.get();
    s.avail_out = kChunk;
    result = deflate(&s, Z_FINISH);
    produced += kChunk - s.avail_out;
  }
  compress ? deflateEnd(&s) : inflateEnd(&s);
  return produced;
}

// The same for ISA-L: tells the stream's own cost apart from the library's.
std::uint64_t bareIsal(const std::string& input) {
  std::vector<std::uint8_t> level(ISAL_DEF_LVL1_DEFAULT);
  const auto out = std::make_unique<std::uint8_t[]>(kChunk);
  isal_zstream s;
  isal_deflate_init(&s);
  s.level = 1;
  s.level_buf = level.data();
  s.level_buf_size = static_cast<std::uint32_t>(level.size());
  s.gzip_flag = IGZIP_GZIP;
  std::uint64_t produced = 0;
  for (std::size_t at = 0; at < input.size(); at += kChunk) {
    s.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(input.data() + at));
    s.avail_in = static_cast<std::uint32_t>(std::min(kChunk, input.size() - at));
    s.end_of_stream = at + kChunk >= input.size() ? 1 : 0;
    do {
      s.next_out = out.get();
      s.avail_out = kChunk;
      isal_deflate(&s);
      produced += kChunk - s.avail_out;
    } while (s.avail_in > 0 || (s.end_of_stream != 0 && s.internal_state.state != ZSTATE_END));
  }
  return produced;
}

template <typename Stream>
std::uint64_t throughStream(const std::string& input, GzipEngine engine) {
  kvn_bench::NullSink sink;
  Stream stream(kChunk, engine);
  stream.setNext(&sink);
  for (std::size_t at = 0; at < input.size(); at += kChunk) {
    stream.write(input.data() + at,
                 static_cast<std::uint32_t>(std::min(kChunk, input.size() - at)));
  }
  stream.end();
  return sink.bytes;
}

const std::string& packed() {
  static const std::string p = [] {
    std::string out;
    z_stream s{};
    deflateInit2(&s, 1, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    out.resize(deflateBound(&s, data().size()));
    s.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data().data()));
    s.avail_in = static_cast<uInt>(data().size());
    s.next_out = reinterpret_cast<Bytef*>(out.data());
    s.avail_out = static_cast<uInt>(out.size());
    deflate(&s, Z_FINISH);
    out.resize(s.total_out);
    deflateEnd(&s);
    return out;
  }();
  return p;
}

void report(benchmark::State& state, std::uint64_t outputBytes, std::size_t inputBytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * inputBytes));
  state.counters["out/in %"] =
      100.0 * static_cast<double>(outputBytes) / static_cast<double>(inputBytes);
}

void BM_BareZlibDeflate(benchmark::State& state) {
  std::uint64_t out = 0;
  for (auto _ : state) benchmark::DoNotOptimize(out = bareZlib(data(), true));
  report(state, out, data().size());
}

void BM_BareIsalDeflate(benchmark::State& state) {
  std::uint64_t out = 0;
  for (auto _ : state) benchmark::DoNotOptimize(out = bareIsal(data()));
  report(state, out, data().size());
}

void BM_DeflateStreamZlib(benchmark::State& state) {
  std::uint64_t out = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        out = throughStream<kvn_compression::DeflateStream>(data(), GzipEngine::Zlib));
  }
  report(state, out, data().size());
}

void BM_DeflateStreamIsal(benchmark::State& state) {
  std::uint64_t out = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        out = throughStream<kvn_compression::DeflateStream>(data(), GzipEngine::Isal));
  }
  report(state, out, data().size());
}

void BM_BareZlibInflate(benchmark::State& state) {
  std::uint64_t out = 0;
  for (auto _ : state) benchmark::DoNotOptimize(out = bareZlib(packed(), false));
  report(state, out, packed().size());
}

void BM_InflateStreamZlib(benchmark::State& state) {
  std::uint64_t out = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        out = throughStream<kvn_compression::InflateStream>(packed(), GzipEngine::Zlib));
  }
  report(state, out, packed().size());
}

void BM_InflateStreamIsal(benchmark::State& state) {
  std::uint64_t out = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        out = throughStream<kvn_compression::InflateStream>(packed(), GzipEngine::Isal));
  }
  report(state, out, packed().size());
}

KVN_RATIO_BENCHMARK(BM_BareZlibDeflate);
KVN_RATIO_BENCHMARK(BM_BareIsalDeflate);
KVN_RATIO_BENCHMARK(BM_DeflateStreamZlib);
KVN_RATIO_BENCHMARK(BM_DeflateStreamIsal);
KVN_RATIO_BENCHMARK(BM_BareZlibInflate);
KVN_RATIO_BENCHMARK(BM_InflateStreamZlib);
KVN_RATIO_BENCHMARK(BM_InflateStreamIsal);

}  // namespace

int main(int argc, char** argv) {
  kvn_bench::initialize(&argc, argv);
  // Made before timing starts: every benchmark then measures only its codec.
  data();
  packed();
  kvn_bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatio("BM_DeflateStreamZlib", "BM_BareZlibDeflate", 0.95);
  reporter.printRatio("BM_DeflateStreamIsal", "BM_BareZlibDeflate", 8.0);
  reporter.printRatio("BM_DeflateStreamIsal", "BM_BareIsalDeflate", 0.95);
  reporter.printRatio("BM_BareIsalDeflate", "BM_BareZlibDeflate", 8.0);
  reporter.printRatio("BM_InflateStreamZlib", "BM_BareZlibInflate", 0.95);
  reporter.printRatio("BM_InflateStreamIsal", "BM_BareZlibInflate", 1.0);
  benchmark::Shutdown();
  return 0;
}
