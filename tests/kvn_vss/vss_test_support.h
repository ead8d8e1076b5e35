// Helpers shared by the snapshot tests: a library loaded for one test,
// environment settings undone afterwards, and file times.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>

#include <QByteArray>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>

#include "kvn_vss/vss_import.h"

namespace kvn_test {

class ScopedVssLibrary {
 public:
  explicit ScopedVssLibrary(const char* library) : loaded_(kvn_vss::loadVssLibrary(library)) {}
  ~ScopedVssLibrary() {
    if (loaded_) kvn_vss::unloadVssLibrary();
  }
  ScopedVssLibrary(const ScopedVssLibrary&) = delete;
  ScopedVssLibrary& operator=(const ScopedVssLibrary&) = delete;
  bool loaded() const { return loaded_; }

 private:
  bool loaded_;
};

class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    if (const char* old = std::getenv(name)) previous_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (previous_) {
      ::setenv(name_, previous_->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  const char* name_;
  std::optional<std::string> previous_;
};

inline std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

inline void setModified(const std::string& path, std::time_t when) {
  const struct timespec times[2] = {{when, 0}, {when, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

inline std::time_t modified(const std::string& path) {
  struct stat st {};
  ::lstat(path.c_str(), &st);
  return st.st_mtim.tv_sec;
}

inline std::string native(const QString& path) { return path.toLocal8Bit().toStdString(); }

}  // namespace kvn_test
