// What the backup needs to know about files, folders and mounted file
// systems: status without following links, folder listings, the mount
// table, link and mount targets, and the folders that carry mounts.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace kvn_platform {

// The attribute bits the agent tests, with the values the box knows them by.
inline constexpr std::uint32_t kAttributeDirectory = 0x10;
// A symbolic link, or a folder on which another file system is mounted.
inline constexpr std::uint32_t kAttributeReparsePoint = 0x400;

enum class FileKind { Regular, Directory, SymLink, Other };

struct FileStatus {
  FileKind kind = FileKind::Other;
  std::uint32_t attributes = 0;
  std::int64_t size = 0;
  // Modification time, seconds since 1970 (UTC); some file systems cannot
  // tell it.
  bool hasLastWrite = false;
  std::int64_t lastWrite = 0;
};

// The status of path itself (a link is never followed). On failure answers
// false with errno in *error.
bool fileStatus(const std::string& path, FileStatus& status, int* error);

// path is a folder (not a link to one).
bool isFolder(const std::string& path);

struct DirectoryEntry {
  std::string name;
  FileStatus status;
  // errno when the entry's status could not be read (status then unusable).
  int error = 0;
};

// The entries of a folder except "." and "..", sorted by name, each with
// its own status. On failure answers false with errno in *error; entries
// that vanish while listing are left out.
bool listDirectory(const std::string& path, std::vector<DirectoryEntry>& entries, int* error);

struct MountEntry {
  std::string mountPoint;
  // The folder of the mounted file system that appears at the mount point:
  // "/" for a whole file system, the source folder for a bind mount.
  std::string root;
  std::uint64_t device = 0;
  // The file system's type ("ext4", "tmpfs"...) and what it was mounted
  // from (a device node such as "/dev/sda1", or a name for pseudo file
  // systems).
  std::string fsType;
  std::string source;
};

// The mount table of this process, in mount order.
bool readMountTable(std::vector<MountEntry>& mounts, int* error);
// The same from text in the form of /proc/self/mountinfo; lines that do not
// parse are skipped.
std::vector<MountEntry> parseMountTable(std::istream& in);

// The mount point of the file system that holds path (the longest mount
// point that contains it; the later mount wins when one covers another).
std::string mountPointOf(const std::vector<MountEntry>& mounts, const std::string& path);

// Prefix of the target of a folder on which a whole file system is mounted,
// followed by that folder: such a folder is a volume of its own.
inline constexpr const char* kVolumeTargetPrefix = "volume:";

// Where a link or mount point leads: for a symbolic link the absolute
// cleaned target, for a bind mount the folder it shows, for a mounted file
// system kVolumeTargetPrefix and the mount point. False when path is
// neither.
bool reparseTarget(const std::string& path, std::string& target);

// One folder as the path database keeps it. Parent 0 marks the volume root.
struct DirectoryRecord {
  std::int64_t id = 0;
  std::int64_t parent = 0;
  std::uint32_t attributes = 0;
  std::string name;
};

// The folders of the volume mounted at mountPath that matter to a backup:
// the root (named after the mount path without its trailing "/"), every
// mount point whose folder lies on that volume (with the reparse bit), and
// the folders leading to them. Read from the mount table, never by walking
// the tree. Logs and answers false when the volume or the table cannot be
// read.
bool loadVolumeDirectories(const std::string& mountPath, std::vector<DirectoryRecord>& records);

}  // namespace kvn_platform
