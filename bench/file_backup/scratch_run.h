// The start the end-to-end benchmarks share: the allocator tuned as in the
// service, an emptied scratch folder, and the stream the results go to.
#pragma once

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "bench_options.h"
#include "kvn_platform/process_setup.h"

namespace kvn_bench {

struct ScratchRun {
  // --dir, or /tmp/<name>.<pid>; empty on entry.
  std::string root;
  // The agent may log to standard output; the results go to a
  // line-buffered copy of the original one, so the two never mix.
  std::FILE* out = nullptr;
};

inline ScratchRun startScratchRun(const BenchOptions& options, const char* name) {
  kvn_platform::tuneMemoryAllocator();
  ScratchRun run;
  run.root = options.dir.empty() ? "/tmp/" + std::string(name) + "." + std::to_string(::getpid())
                                 : options.dir;
  std::filesystem::remove_all(run.root);
  std::filesystem::create_directories(run.root);
  run.out = ::fdopen(::dup(STDOUT_FILENO), "w");
  std::setvbuf(run.out, nullptr, _IOLBF, 0);
  return run;
}

}  // namespace kvn_bench
