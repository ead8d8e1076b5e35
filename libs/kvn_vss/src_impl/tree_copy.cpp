#include "tree_copy.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include <cerrno>
#include <system_error>
#include <vector>

#include "os_error.h"
#include "unique_fd.h"

namespace kvn_vss {

namespace fs = std::filesystem;

namespace {

// A failed system call as the exception that ends the copy.
[[noreturn]] void throwOsError(const fs::path& path, const char* what) {
  throw fs::filesystem_error(what, path, std::error_code(errno, std::generic_category()));
}

struct stat lstatOf(const fs::path& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) throwOsError(path, "lstat");
  return st;
}

void copyTimes(const fs::path& path, const struct stat& st) {
  const struct timespec times[2] = {st.st_atim, st.st_mtim};
  if (::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0) {
    throwOsError(path, "utimensat");
  }
}

// Shares the data blocks when the file system can; a plain copy otherwise.
void copyFile(const fs::path& from, const fs::path& to, const struct stat& st) {
  {
    UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (!in.valid()) throwOsError(from, "open");
    UniqueFd out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, st.st_mode & 07777));
    if (!out.valid()) throwOsError(to, "open");
    if (::ioctl(out.get(), FICLONE, in.get()) == 0) {
      if (::fchmod(out.get(), st.st_mode & 07777) != 0) throwOsError(to, "fchmod");
      return;
    }
  }
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

bool copyTree(const fs::path& from, const fs::path& to, const fs::path& skip, QString* reason) {
  try {
    const struct stat root = lstatOf(from);
    fs::create_directories(to);
    const struct stat skipped = lstatOf(skip);
    std::vector<std::pair<fs::path, struct stat>> folders{{to, root}};

    for (auto it = fs::recursive_directory_iterator(from); it != fs::recursive_directory_iterator();
         ++it) {
      const fs::path source = it->path();
      const fs::path copy = to / source.lexically_relative(from);
      const struct stat st = lstatOf(source);
      if (S_ISDIR(st.st_mode)) {
        if (sameFile(st, skipped)) {
          it.disable_recursion_pending();
          continue;
        }
        fs::create_directory(copy, source);
        folders.emplace_back(copy, st);
        // Another file system mounted here is not part of this volume.
        if (st.st_dev != root.st_dev) it.disable_recursion_pending();
      } else if (S_ISLNK(st.st_mode)) {
        fs::copy_symlink(source, copy);
        copyTimes(copy, st);
      } else if (S_ISREG(st.st_mode)) {
        copyFile(source, copy, st);
        copyTimes(copy, st);
      }
      // Devices, pipes and sockets are never backed up: not copied.
    }
    // Last, because filling a folder changes its modification time.
    for (const auto& [folder, st] : folders) copyTimes(folder, st);
    return true;
  } catch (const fs::filesystem_error& e) {
    *reason = QString::fromLocal8Bit(e.what());
  } catch (const std::exception& e) {
    *reason = QString::fromLocal8Bit(e.what());
  }
  return false;
}

}  // namespace kvn_vss
