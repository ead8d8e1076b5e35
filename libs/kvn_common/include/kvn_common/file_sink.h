// The end of a chain that writes everything it receives to a file.
#pragma once

#include <fstream>
#include <string>

#include "kvn_common/stream.h"

namespace kvn_common {

class FileSink : public StreamSink {
 public:
  // Creates or truncates path; throws KVN_E_SERVER when it cannot.
  explicit FileSink(const std::string& path);

  // A failed write or close throws KVN_E_SERVER: a short file must never
  // pass for a complete one.
  void write(const char* data, std::uint32_t size) override;
  void end() override;

 private:
  [[noreturn]] void fail(const char* what) const;

  std::string path_;
  std::ofstream out_;
};

}  // namespace kvn_common
