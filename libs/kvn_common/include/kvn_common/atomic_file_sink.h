// The end of a chain that writes a file which must never be seen half
// written: the data goes to "<path>.part" in the same folder, and only
// end() flushes it to disk and renames it to path. A sink destroyed before
// end() (a failure, a stop) removes its part file; a process killed on the
// way leaves only the part file, which no reader takes for the file.
#pragma once

#include <cstddef>
#include <string>

#include "kvn_common/stream.h"

namespace kvn_common {

class AtomicFileSink : public StreamSink {
 public:
  // Appended to the final name while the file is being written.
  static constexpr const char* kPartSuffix = ".part";
  static std::string partPath(const std::string& path) { return path + kPartSuffix; }

  // Whether end() makes the data durable before the rename. Without the
  // flush a kill still leaves the old file or the whole new one, but a
  // power cut may leave a short or empty file under the final name; only a
  // file whose reader detects that and has another copy to go to may skip it.
  enum class Flush { BeforeRename, None };

  // Creates or truncates the part file (a leftover of an earlier attempt
  // included); throws KVN_E_SERVER when it cannot.
  explicit AtomicFileSink(const std::string& path, Flush flush = Flush::BeforeRename);
  ~AtomicFileSink() override;
  AtomicFileSink(const AtomicFileSink&) = delete;
  AtomicFileSink& operator=(const AtomicFileSink&) = delete;

  // Failures throw KVN_E_SERVER, and the part file is removed: a short file
  // must never pass for a complete one.
  void write(const char* data, std::uint32_t size) override;
  // Flushes to disk (unless told not to) and renames the part file to the
  // final name.
  void end() override;

 private:
  [[noreturn]] void fail(const char* what, int error);

  std::string path_;
  std::string part_;
  Flush flush_;
  int fd_ = -1;
  bool committed_ = false;
};

// Makes the data written to fd durable and renames from over to (same
// folder): the last step of every write that must be whole or absent.
// Closes nothing. False with errno set when a step fails.
bool syncAndRename(int fd, const std::string& from, const std::string& to);
// The same for a part file that another writer has closed already.
bool commitPartFile(const std::string& part, const std::string& path);
// Writes all of size bytes from data to fd, again after interruptions and
// short writes. False with errno set (ENOSPC when the file takes nothing).
bool writeAll(int fd, const char* data, std::size_t size);

}  // namespace kvn_common
