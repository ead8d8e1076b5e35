#include "byte_tree.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>

namespace kvn_test {

namespace {

std::string failure(const char* what, const std::string& path) {
  return std::string(what) + " " + printableName(path) + ": " + std::strerror(errno);
}

void walk(const std::string& root, const std::string& relative, ByteTree& tree) {
  const std::string folder = relative.empty() ? root : root + "/" + relative;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return;
  while (const dirent* item = ::readdir(dir)) {
    const std::string name = item->d_name;
    if (name == "." || name == "..") continue;
    const std::string child = relative.empty() ? name : relative + "/" + name;
    struct stat st {};
    if (::lstat((root + "/" + child).c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      tree[child].folder = true;
      walk(root, child, tree);
    } else if (S_ISREG(st.st_mode)) {
      std::ifstream in(root + "/" + child, std::ios::binary);
      ByteTreeEntry& entry = tree[child];
      entry.content.assign(std::istreambuf_iterator<char>(in), {});
      entry.lastWrite = st.st_mtim.tv_sec;
    }
  }
  ::closedir(dir);
}

}  // namespace

std::string writeByteFile(const std::string& root, const std::string& relative,
                          const std::string& content, std::int64_t lastWrite) {
  for (std::size_t slash = relative.find('/'); slash != std::string::npos;
       slash = relative.find('/', slash + 1)) {
    const std::string folder = root + "/" + relative.substr(0, slash);
    if (::mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) return failure("mkdir", folder);
  }
  const std::string path = root + "/" + relative;
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return failure("open", path);
  const bool written = ::write(fd, content.data(), content.size()) == ssize_t(content.size());
  ::close(fd);
  if (!written) return failure("write", path);
  const struct timespec times[2] = {{lastWrite, 0}, {lastWrite, 0}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) return failure("utimensat", path);
  return {};
}

ByteTree readByteTree(const std::string& root) {
  ByteTree tree;
  walk(root, {}, tree);
  return tree;
}

std::string printableName(const std::string& bytes) {
  std::string out;
  for (const unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7F && c != '\\') {
      out.push_back(char(c));
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  return out;
}

}  // namespace kvn_test
