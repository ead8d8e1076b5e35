#include "kvn_rsync/patch_file.h"

#include <librsync.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "kvn_log/log.h"

namespace kvn_rsync {

namespace {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

}  // namespace

bool patchFile(const std::string& basisPath, const std::string& deltaPath,
               const std::string& newPath) {
  const char* basisName = basisPath.c_str();
  const char* deltaName = deltaPath.c_str();
  const char* newName = newPath.c_str();
  KLOG_D("applying patch (basisfile=\"%s\", deltafile=\"%s\", newfile=\"%s\")", basisName,
         deltaName, newName);
  FilePtr basis(std::fopen(basisName, "rb"));
  if (!basis) {
    KLOG_E("failed to fopen basisfile %s", basisName);
    return false;
  }
  FilePtr delta(std::fopen(deltaName, "rb"));
  if (!delta) {
    KLOG_E("failed to fopen deltafile %s", deltaName);
    return false;
  }
  FilePtr newFile(std::fopen(newName, "wb"));
  if (!newFile) {
    KLOG_E("failed to open newfile %s", newName);
    return false;
  }
  rs_stats_t stats{};
  const rs_result result = rs_patch_file(basis.get(), delta.get(), newFile.get(), &stats);
  rs_log_stats(&stats);
  // Buffered bytes reach the disk only at close: a full disk shows up here,
  // and must not pass for a good patch.
  const bool closed = std::fclose(newFile.release()) == 0;
  if (result != RS_DONE) {
    KLOG_E("cannot apply patch (basisfile=\"%s\", deltafile=\"%s\", newfile=\"%s\"): %s", basisName,
           deltaName, newName, rs_strerror(result));
    return false;
  }
  if (!closed) {
    KLOG_E("cannot apply patch (basisfile=\"%s\", deltafile=\"%s\", newfile=\"%s\"): %s", basisName,
           deltaName, newName, std::strerror(errno));
    return false;
  }
  return true;
}

}  // namespace kvn_rsync
