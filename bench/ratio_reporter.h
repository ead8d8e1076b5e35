// Console output of Google Benchmark plus the CPU-time ratios between
// benchmarks of the same run, so a variant is always compared with its
// baseline on the same machine load and the same data.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "kvn_common/stream.h"

namespace kvn_bench {

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      if (run.run_type != Run::RT_Iteration) continue;
      // The best of the repetitions: other work on a shared machine only
      // ever makes a run slower.
      const double time = run.GetAdjustedCPUTime();
      auto [it, added] = times_.emplace(run.run_name.function_name, time);
      if (!added && time < it->second) it->second = time;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  // Prints how many times faster variant ran than baseline, and whether
  // that meets goal.
  void printRatio(const std::string& variant, const std::string& baseline, double goal) const {
    const auto v = times_.find(variant);
    const auto b = times_.find(baseline);
    if (v == times_.end() || b == times_.end() || v->second <= 0) {
      std::printf("ratio %s / %s: not run\n", variant.c_str(), baseline.c_str());
      return;
    }
    const double ratio = b->second / v->second;
    std::printf("ratio %s / %s: %.3f (goal >= %.2f: %s)\n", variant.c_str(), baseline.c_str(),
                ratio, goal, ratio >= goal ? "met" : "MISSED");
  }

 private:
  std::map<std::string, double> times_;
};

// Google Benchmark's own start-up with the repetitions of all benchmarks
// shuffled, so that a slow phase of the machine hits baseline and variant
// alike. Command-line flags still override.
inline void initialize(int* argc, char** argv) {
  static std::vector<char*> args;
  args.assign(argv, argv + *argc);
  static char interleave[] = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, interleave);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
}

// Discards what a chain produces, so only the codec is measured.
class NullSink : public kvn_common::StreamSink {
 public:
  void write(const char*, std::uint32_t size) override { bytes += size; }
  void end() override {}
  std::uint64_t bytes = 0;
};

}  // namespace kvn_bench

// Registers a benchmark with the iterations and repetitions (constants of the
// including file) that its ratios are taken over.
#define KVN_RATIO_BENCHMARK(fn) \
  BENCHMARK(fn)->Iterations(kIterations)->Repetitions(kRepetitions)->Unit(benchmark::kMillisecond)
