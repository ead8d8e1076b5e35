#include "kvn_common/file_sink.h"

#include "kvn_log/exception.h"

namespace kvn_common {

FileSink::FileSink(const std::string& path) : path_(path) {
  out_.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
  if (!out_.is_open()) {
    KLOG_E("Could not open output file: %s", path.c_str());
    auto e =
        KvnCommonException::formatted(KVN_HERE, "Could not open output file: %s", path.c_str());
    e.code = KVN_E_SERVER;
    throw e;
  }
}

// The stream's own failure exception is not one the run boundaries catch, so
// it is checked here and turned into the family's exception.
void FileSink::write(const char* data, std::uint32_t size) {
  if (!out_.write(data, size)) fail("write");
}

void FileSink::end() {
  out_.close();
  if (out_.fail()) fail("close");
}

void FileSink::fail(const char* what) const {
  KLOG_E("Could not %s output file: %s", what, path_.c_str());
  auto e =
      KvnCommonException::formatted(KVN_HERE, "Could not %s output file: %s", what, path_.c_str());
  e.code = KVN_E_SERVER;
  throw e;
}

}  // namespace kvn_common
