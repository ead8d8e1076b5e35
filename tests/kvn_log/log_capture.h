// Points the logger's output at a file for the length of a test and
// restores the real standard output afterwards.
#pragma once

#include <unistd.h>

#include <string>

#include "kvn_log/log.h"
#include "temp_dir.h"

namespace kvn_test {

class LogCapture {
 public:
  LogCapture() : savedOut_(::dup(STDOUT_FILENO)), savedErr_(::dup(STDERR_FILENO)) {
    kvn_log::setLogFile(dir_.file("capture.log"));
  }
  ~LogCapture() {
    std::fflush(stdout);
    std::fflush(stderr);
    ::dup2(savedOut_, STDOUT_FILENO);
    ::dup2(savedErr_, STDERR_FILENO);
    ::close(savedOut_);
    ::close(savedErr_);
    kvn_log::setCallback(nullptr);
    kvn_log::setLevel(kvn_log::Info);
  }
  std::string text() const {
    std::fflush(stdout);
    return readFile(dir_.file("capture.log"));
  }

 private:
  TempDir dir_;
  int savedOut_;
  int savedErr_;
};

}  // namespace kvn_test
