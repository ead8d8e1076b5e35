// Lz4CompressStream against the same LZ4F calls made bare, on the same mixed
// data in the same run.
#include <benchmark/benchmark.h>
#include <lz4frame.h>

#include <memory>

#include "../tests/kvn_compression/mixed_data.h"
#include "kvn_compression/lz4_stream.h"
#include "ratio_reporter.h"

namespace {

constexpr std::size_t kDataSize = 64 * 0x100000;
constexpr std::size_t kBlock = 0x200000;  // the volume backup's block size
constexpr std::size_t kWrite = 0x100000;
constexpr int kRepetitions = 5;
constexpr int kIterations = 5;

const std::string& data() {
  static const std::string d = kvn_test::mixedData(kDataSize);
  return d;
}

void BM_BareLz4F(benchmark::State& state) {
  const std::size_t bound = LZ4F_compressBound(kBlock, nullptr);
  const auto out = std::make_unique<char[]>(bound);
  std::uint64_t produced = 0;
  for (auto _ : state) {
    produced = 0;
    LZ4F_cctx* context = nullptr;
    LZ4F_createCompressionContext(&context, LZ4F_VERSION);
    produced += LZ4F_compressBegin(context, out.get(), bound, nullptr);
    for (std::size_t at = 0; at < data().size(); at += kWrite) {
      const std::size_t n = std::min(kWrite, data().size() - at);
      produced += LZ4F_compressUpdate(context, out.get(), bound, data().data() + at, n, nullptr);
      benchmark::DoNotOptimize(out.get());
    }
    produced += LZ4F_compressEnd(context, out.get(), bound, nullptr);
    LZ4F_freeCompressionContext(context);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data().size()));
  state.counters["out/in %"] =
      100.0 * static_cast<double>(produced) / static_cast<double>(data().size());
}

void BM_Lz4CompressStream(benchmark::State& state) {
  std::uint64_t produced = 0;
  for (auto _ : state) {
    kvn_bench::NullSink sink;
    kvn_compression::Lz4CompressStream stream(kBlock);
    stream.setNext(&sink);
    for (std::size_t at = 0; at < data().size(); at += kWrite) {
      stream.write(data().data() + at,
                   static_cast<std::uint32_t>(std::min(kWrite, data().size() - at)));
    }
    stream.end();
    produced = sink.bytes;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * data().size()));
  state.counters["out/in %"] =
      100.0 * static_cast<double>(produced) / static_cast<double>(data().size());
}

KVN_RATIO_BENCHMARK(BM_BareLz4F);
KVN_RATIO_BENCHMARK(BM_Lz4CompressStream);

}  // namespace

int main(int argc, char** argv) {
  kvn_bench::initialize(&argc, argv);
  // Made before timing starts: every benchmark then measures only its codec.
  data();
  kvn_bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.printRatio("BM_Lz4CompressStream", "BM_BareLz4F", 0.95);
  benchmark::Shutdown();
  return 0;
}
