// The hand-written rsync engine against librsync: basis and edits derived
// from the input; signatures must be identical and the delta must patch to
// the edited data. A difference aborts, so libFuzzer keeps the input.
#include <cstdio>
#include <cstdlib>

#include "fuzz_support.h"
#include "rsync_differential.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  kvn_fuzz::quietLog();
  const kvn_rsync_diff::Case c = kvn_rsync_diff::makeCase(data, size);
  const std::string failure = kvn_rsync_diff::check(c);
  if (!failure.empty()) {
    std::fprintf(stderr, "%s (old block %llu, new block %llu, chunk %zu, sizes %zu/%zu)\n",
                 failure.c_str(), static_cast<unsigned long long>(c.oldBlock),
                 static_cast<unsigned long long>(c.newBlock), c.chunk, c.basis.size(),
                 c.changed.size());
    std::abort();
  }
  return 0;
}
