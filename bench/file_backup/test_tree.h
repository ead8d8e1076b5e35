// The data the file-backup benchmark backs up: one large file of
// alternating text-like (compressible) and random 1 MiB blocks, and a tree
// of many small files; plus the changes between the full and the
// incremental run. Every file gets an explicit modification time, so that
// a change is seen even when it falls in the same second as the backup.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <vector>

namespace kvn_bench {

// Fills buffers with bytes that gzip -1 shrinks to roughly a third (words
// of a small vocabulary) or not at all (random).
class ByteMaker {
 public:
  explicit ByteMaker(std::uint64_t seed) : random_(seed) {}

  void random(char* out, std::size_t n) {
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
      const std::uint64_t value = random_();
      std::memcpy(out + i, &value, 8);
    }
    for (; i < n; ++i) out[i] = static_cast<char>(random_());
  }

  void text(char* out, std::size_t n) {
    static const char* const kWords[] = {
        "backup ", "volume ", "the ",    "agent ", "box ",      "signature ", "delta ",
        "of ",     "file ",   "and ",    "chunk ", "stream ",   "version ",   "to ",
        "record ", "a ",      "folder ", "data\n", "schedule ", "snapshot ",  "key, "};
    std::size_t i = 0;
    while (i < n) {
      const char* word = kWords[random_() % std::size(kWords)];
      const std::size_t length = std::min(std::strlen(word), n - i);
      std::memcpy(out + i, word, length);
      i += length;
    }
  }

  // Alternating 1 MiB blocks, starting with text at offset 0.
  void mixed(char* out, std::size_t n, std::uint64_t offset) {
    constexpr std::uint64_t kBlock = 1 << 20;
    while (n > 0) {
      const std::size_t run = std::min<std::uint64_t>(n, kBlock - offset % kBlock);
      if ((offset / kBlock) % 2 == 0)
        text(out, run);
      else
        random(out, run);
      out += run;
      n -= run;
      offset += run;
    }
  }

  std::uint64_t next() { return random_(); }

 private:
  std::mt19937_64 random_;
};

// Both times of path set to seconds since 1970; false on failure.
inline bool setModified(const std::string& path, std::time_t seconds) {
  const timespec times[2] = {{seconds, 0}, {seconds, 0}};
  return ::utimensat(AT_FDCWD, path.c_str(), times, 0) == 0;
}

inline bool writeAll(int fd, const char* data, std::size_t n, std::uint64_t offset) {
  while (n > 0) {
    const ssize_t done = ::pwrite(fd, data, n, static_cast<off_t>(offset));
    if (done <= 0) return false;
    data += done;
    n -= static_cast<std::size_t>(done);
    offset += static_cast<std::uint64_t>(done);
  }
  return true;
}

class TestTree {
 public:
  // Seconds since 1970 of the full run's files and of the changed ones.
  static constexpr std::time_t kOriginalTime = 1'700'000'000;
  static constexpr std::time_t kChangedTime = kOriginalTime + 3600;
  static constexpr std::uint64_t kRegion = 64 << 10;

  explicit TestTree(std::string root) : root_(std::move(root)) {}

  std::string bigFolder() const { return root_ + "/big"; }
  std::string bigFile() const { return bigFolder() + "/mixed.bin"; }
  std::string smallFolder() const { return root_ + "/small"; }

  bool makeBigFile(std::uint64_t size) {
    std::filesystem::create_directories(bigFolder());
    const int fd = ::open(bigFile().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return false;
    ByteMaker maker(1);
    std::vector<char> buffer(4 << 20);
    bool ok = true;
    for (std::uint64_t offset = 0; ok && offset < size; offset += buffer.size()) {
      const std::size_t n = std::min<std::uint64_t>(buffer.size(), size - offset);
      maker.mixed(buffer.data(), n, offset);
      ok = writeAll(fd, buffer.data(), n, offset);
    }
    ok = ::close(fd) == 0 && ok;
    return ok && setModified(bigFile(), kOriginalTime);
  }

  // Overwrites about 1% of the file with random bytes, in 64 KiB regions
  // at distinct places spread over the whole file (at least one region).
  // Returns the bytes changed, 0 on failure.
  std::uint64_t changeBigFile(std::uint64_t size) {
    const std::uint64_t regions = std::max<std::uint64_t>(1, size / 100 / kRegion);
    const std::uint64_t places = std::max<std::uint64_t>(1, size / kRegion);
    ByteMaker maker(2);
    std::set<std::uint64_t> chosen;
    while (chosen.size() < std::min(regions, places)) chosen.insert(maker.next() % places);
    const int fd = ::open(bigFile().c_str(), O_WRONLY);
    if (fd < 0) return 0;
    std::vector<char> buffer(kRegion);
    std::uint64_t changed = 0;
    bool ok = true;
    for (const std::uint64_t place : chosen) {
      const std::uint64_t offset = place * kRegion;
      const std::size_t n = std::min<std::uint64_t>(kRegion, size - offset);
      maker.random(buffer.data(), n);
      ok = ok && writeAll(fd, buffer.data(), n, offset);
      changed += n;
    }
    ok = ::close(fd) == 0 && ok;
    return ok && setModified(bigFile(), kChangedTime) ? changed : 0;
  }

  // count files of 1 to 64 KiB, 100 to a folder, each text-like with a
  // random part. Returns the total bytes, 0 on failure.
  std::uint64_t makeSmallFiles(std::uint64_t count) {
    ByteMaker maker(3);
    std::vector<char> buffer(kRegion);
    std::uint64_t total = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
      if (i % 100 == 0) std::filesystem::create_directories(smallFolderOf(i));
      const std::size_t size = 1024 + maker.next() % (kRegion - 1024 + 1);
      const std::size_t randomPart = size / 4;
      maker.text(buffer.data(), size - randomPart);
      maker.random(buffer.data() + size - randomPart, randomPart);
      if (!writeFile(smallFile(i), buffer.data(), size, O_TRUNC)) return 0;
      total += size;
    }
    return total;
  }

  // Changes 1% of the small files (at least one): 1 KiB of random bytes
  // over their start. The number changed, 0 on failure.
  std::uint64_t changeSmallFiles(std::uint64_t count) {
    const std::uint64_t changes = std::max<std::uint64_t>(1, count / 100);
    ByteMaker maker(4);
    std::vector<char> buffer(1024);
    std::set<std::uint64_t> chosen;
    while (chosen.size() < std::min(changes, count)) chosen.insert(maker.next() % count);
    for (const std::uint64_t i : chosen) {
      maker.random(buffer.data(), buffer.size());
      if (!writeFile(smallFile(i), buffer.data(), buffer.size(), 0)) return 0;
    }
    return chosen.size();
  }

 private:
  std::string smallFolderOf(std::uint64_t i) const {
    return smallFolder() + "/d" + std::to_string(i / 100);
  }
  std::string smallFile(std::uint64_t i) const {
    return smallFolderOf(i) + "/f" + std::to_string(i) + ".dat";
  }
  // Writes at offset 0 (truncating with O_TRUNC) and dates the file: the
  // original time for new files, the changed time otherwise.
  static bool writeFile(const std::string& path, const char* data, std::size_t n, int flags) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | flags, 0644);
    if (fd < 0) return false;
    const bool ok = writeAll(fd, data, n, 0);
    if (::close(fd) != 0 || !ok) return false;
    return setModified(path, flags & O_TRUNC ? kOriginalTime : kChangedTime);
  }

  std::string root_;
};

}  // namespace kvn_bench
