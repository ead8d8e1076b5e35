#include "temp_dir.h"

#include <sys/mount.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace kvn_test {

namespace {

// A mount point as /proc/self/mountinfo writes it: blanks, tabs, newlines
// and backslashes as three octal digits after a backslash.
std::string unescapeMountPoint(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 3), nullptr, 8));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

// Tests that mount (in a mount namespace of their own) may leave file
// systems mounted in the folder: they would keep it from being removed,
// and the namespace's end leaves the emptied folders behind. Innermost
// first.
void unmountBelow(const std::string& root) {
  std::ifstream table("/proc/self/mountinfo");
  std::vector<std::string> points;
  for (std::string line; std::getline(table, line);) {
    std::istringstream fields(line);
    std::string id, parent, device, source, point;
    if (!(fields >> id >> parent >> device >> source >> point)) continue;
    point = unescapeMountPoint(point);
    if (point == root || point.rfind(root + "/", 0) == 0) points.push_back(point);
  }
  std::sort(points.begin(), points.end(),
            [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const std::string& point : points) ::umount2(point.c_str(), MNT_DETACH);
}

}  // namespace

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kvn-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  unmountBelow(path_);
  std::error_code ec;
  // Tests may leave read-only folders behind; make them removable first.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
  }
  std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

}  // namespace kvn_test
