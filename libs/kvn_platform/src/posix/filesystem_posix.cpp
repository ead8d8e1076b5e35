#include "kvn_platform/filesystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "kvn_log/log.h"
#include "posix/mount_paths.h"

namespace kvn_platform {

namespace {

FileStatus statusFrom(const struct statx& stx) {
  FileStatus status;
  const mode_t type = stx.stx_mode & S_IFMT;
  if (type == S_IFDIR) {
    status.kind = FileKind::Directory;
    status.attributes = kAttributeDirectory;
    if ((stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) &&
        (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT)) {
      status.attributes |= kAttributeReparsePoint;
    }
  } else if (type == S_IFREG) {
    status.kind = FileKind::Regular;
  } else if (type == S_IFLNK) {
    status.kind = FileKind::SymLink;
    status.attributes = kAttributeReparsePoint;
  }
  status.size = std::int64_t(stx.stx_size);
  status.hasLastWrite = (stx.stx_mask & STATX_MTIME) != 0;
  status.lastWrite = status.hasLastWrite ? stx.stx_mtime.tv_sec : 0;
  return status;
}

bool statAt(int dirFd, const char* path, FileStatus& status, int* error) {
  struct statx stx {};
  if (::statx(dirFd, path, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT,
              STATX_TYPE | STATX_SIZE | STATX_MTIME, &stx) != 0) {
    if (error) *error = errno;
    return false;
  }
  status = statusFrom(stx);
  return true;
}

}  // namespace

namespace detail {

std::string unescapeMountField(const std::string& field) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    const auto digit = [&](std::size_t k) { return std::isdigit((unsigned char)field[k]) != 0; };
    if (field[i] == '\\' && i + 3 < field.size() && digit(i + 1) && digit(i + 2) && digit(i + 3)) {
      out.push_back(
          char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0')));
      i += 3;
    } else {
      out.push_back(field[i]);
    }
  }
  return out;
}

bool isAtOrBelow(const std::string& path, const std::string& folder) {
  if (folder == "/") return !path.empty() && path[0] == '/';
  return path == folder ||
         (path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
          path[folder.size()] == '/');
}

std::string cleanAbsolute(const std::string& path) {
  std::vector<std::string> parts;
  std::stringstream in(path);
  std::string part;
  while (std::getline(in, part, '/')) {
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string out;
  for (const auto& p : parts) out += "/" + p;
  return out.empty() ? "/" : out;
}

std::string parentOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
}

std::string mountTarget(const std::vector<MountEntry>& mounts, std::size_t index) {
  const MountEntry& self = mounts[index];
  for (std::size_t i = 0; i < mounts.size(); ++i) {
    const MountEntry& other = mounts[i];
    if (other.device != self.device || !isAtOrBelow(self.root, other.root)) continue;
    if (i == index || other.mountPoint == self.mountPoint) break;
    const std::string rest = other.root == "/" ? self.root : self.root.substr(other.root.size());
    return cleanAbsolute(other.mountPoint + "/" + rest);
  }
  return kVolumeTargetPrefix + self.mountPoint;
}

}  // namespace detail

using detail::cleanAbsolute;
using detail::isAtOrBelow;
using detail::mountTarget;
using detail::parentOf;

bool fileStatus(const std::string& path, FileStatus& status, int* error) {
  return statAt(AT_FDCWD, path.c_str(), status, error);
}

bool isFolder(const std::string& path) {
  FileStatus status;
  return fileStatus(path, status, nullptr) && status.kind == FileKind::Directory;
}

bool listDirectory(const std::string& path, std::vector<DirectoryEntry>& entries, int* error) {
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) {
    if (error) *error = errno;
    return false;
  }
  const int fd = ::dirfd(dir);
  while (const dirent* item = ::readdir(dir)) {
    const char* name = item->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    DirectoryEntry entry;
    entry.name = name;
    if (!statAt(fd, name, entry.status, &entry.error)) {
      if (entry.error == ENOENT) continue;  // removed while we listed
      // Kept as an unusable entry so that the caller can report it.
      entry.status = FileStatus{};
    }
    entries.push_back(std::move(entry));
  }
  ::closedir(dir);
  std::sort(entries.begin(), entries.end(),
            [](const DirectoryEntry& a, const DirectoryEntry& b) { return a.name < b.name; });
  return true;
}

bool readMountTable(std::vector<MountEntry>& mounts, int* error) {
  std::ifstream in("/proc/self/mountinfo");
  if (!in) {
    if (error) *error = errno;
    return false;
  }
  mounts = parseMountTable(in);
  return true;
}

std::vector<MountEntry> parseMountTable(std::istream& in) {
  std::vector<MountEntry> mounts;
  std::string line;
  while (std::getline(in, line)) {
    // id parent major:minor root mount-point options [optional...] - type source super-options
    std::istringstream fields(line);
    std::string id, parent, device, root, mountPoint;
    if (!(fields >> id >> parent >> device >> root >> mountPoint)) continue;
    unsigned major = 0, minor = 0;
    if (std::sscanf(device.c_str(), "%u:%u", &major, &minor) != 2) continue;
    MountEntry entry;
    entry.device = (std::uint64_t(major) << 32) | minor;
    entry.root = detail::unescapeMountField(root);
    entry.mountPoint = detail::unescapeMountField(mountPoint);
    std::string field;
    while (fields >> field && field != "-") {
    }
    std::string fsType, source;
    if (fields >> fsType >> source) {
      entry.fsType = detail::unescapeMountField(fsType);
      entry.source = detail::unescapeMountField(source);
    }
    mounts.push_back(std::move(entry));
  }
  return mounts;
}

std::string mountPointOf(const std::vector<MountEntry>& mounts, const std::string& path) {
  std::string best = "/";
  for (const auto& m : mounts) {
    if (isAtOrBelow(path, m.mountPoint) && m.mountPoint.size() >= best.size()) best = m.mountPoint;
  }
  return best;
}

bool reparseTarget(const std::string& path, std::string& target) {
  FileStatus status;
  if (!fileStatus(path, status, nullptr)) return false;
  if (status.kind == FileKind::SymLink) {
    std::string buffer(4096, '\0');
    const ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
    if (n <= 0 || std::size_t(n) >= buffer.size()) return false;
    buffer.resize(std::size_t(n));
    target =
        cleanAbsolute(buffer[0] == '/' ? buffer : parentOf(cleanAbsolute(path)) + "/" + buffer);
    return true;
  }
  if (!(status.attributes & kAttributeReparsePoint)) return false;
  std::vector<MountEntry> mounts;
  if (!readMountTable(mounts, nullptr)) return false;
  const std::string cleaned = cleanAbsolute(path);
  // The last mount at a folder is the one that is visible.
  for (std::size_t i = mounts.size(); i-- > 0;) {
    if (mounts[i].mountPoint == cleaned) {
      target = mountTarget(mounts, i);
      return true;
    }
  }
  return false;
}

bool loadVolumeDirectories(const std::string& mountPath, std::vector<DirectoryRecord>& records) {
  FileStatus rootStatus;
  int error = 0;
  if (!fileStatus(mountPath, rootStatus, &error)) {
    KLOG_E("cannot open volume %s: %s", mountPath.c_str(), std::strerror(error));
    return false;
  }
  std::vector<MountEntry> mounts;
  if (!readMountTable(mounts, &error)) {
    KLOG_E("cannot read the mount table: %s", std::strerror(error));
    return false;
  }
  const std::string volume = cleanAbsolute(mountPath);
  std::map<std::string, std::int64_t> ids;
  std::int64_t nextId = 1;
  ids[volume] = nextId;
  // The root is not a reparse point of its own volume.
  records.push_back({nextId++, 0, kAttributeDirectory, volume == "/" ? "" : volume});

  for (const auto& m : mounts) {
    if (m.mountPoint == volume || !isAtOrBelow(m.mountPoint, volume)) continue;
    // A mount inside another mount below the volume belongs to that volume.
    if (mountPointOf(mounts, parentOf(m.mountPoint)) != volume) continue;
    std::string current = volume;
    std::int64_t parentId = ids[volume];
    const std::string rest = m.mountPoint.substr(volume == "/" ? 1 : volume.size() + 1);
    std::stringstream parts(rest);
    std::string part;
    while (std::getline(parts, part, '/')) {
      current = current == "/" ? "/" + part : current + "/" + part;
      auto found = ids.find(current);
      if (found == ids.end()) {
        found = ids.emplace(current, nextId).first;
        records.push_back({nextId++, parentId, kAttributeDirectory, part});
      }
      parentId = found->second;
    }
    for (auto& record : records) {
      if (record.id == parentId) record.attributes |= kAttributeReparsePoint;
    }
  }
  return true;
}

}  // namespace kvn_platform
