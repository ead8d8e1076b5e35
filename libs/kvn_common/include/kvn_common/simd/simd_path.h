// The instruction sets a multi-lane hash can run on, and the run-time choice
// between them: the widest one the processor has, narrowed by an environment
// variable or by force() for tests and benchmarks.
#pragma once

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace kvn_common::simd {

enum class SimdPath { kScalar, kAvx2, kAvx512 };

inline bool simdPathSupported(SimdPath path) {
#if defined(__x86_64__)
  switch (path) {
    case SimdPath::kAvx512: return __builtin_cpu_supports("avx512f");
    case SimdPath::kAvx2: return __builtin_cpu_supports("avx2");
    case SimdPath::kScalar: return true;
  }
  return false;
#else
  return path == SimdPath::kScalar;
#endif
}

inline const char* simdPathName(SimdPath path) {
  switch (path) {
    case SimdPath::kAvx512: return "avx512";
    case SimdPath::kAvx2: return "avx2";
    case SimdPath::kScalar: break;
  }
  return "scalar";
}

// The active path of one family of kernels. envName (scalar|avx2|avx512)
// picks a narrower path at start when the processor has it.
class SimdPathSwitch {
 public:
  explicit SimdPathSwitch(const char* envName) : path_(startPath(envName)) {}

  SimdPath active() const { return path_.load(std::memory_order_relaxed); }
  // False (and nothing changes) when the processor lacks path.
  bool force(SimdPath path) {
    if (!simdPathSupported(path)) return false;
    path_.store(path, std::memory_order_relaxed);
    return true;
  }

 private:
  static SimdPath startPath(const char* envName) {
    SimdPath best = simdPathSupported(SimdPath::kAvx512) ? SimdPath::kAvx512
                    : simdPathSupported(SimdPath::kAvx2) ? SimdPath::kAvx2
                                                         : SimdPath::kScalar;
    if (const char* wanted = std::getenv(envName)) {
      for (SimdPath path : {SimdPath::kScalar, SimdPath::kAvx2, SimdPath::kAvx512}) {
        if (std::strcmp(wanted, simdPathName(path)) == 0 && simdPathSupported(path)) best = path;
      }
    }
    return best;
  }

  std::atomic<SimdPath> path_;
};

}  // namespace kvn_common::simd
