// A block device or image file opened for reading, closed with the object.
#pragma once

#include <QString>
#include <cstdint>

namespace kvn_snapshot {

class DeviceFile {
 public:
  DeviceFile() = default;
  ~DeviceFile();
  DeviceFile(const DeviceFile&) = delete;
  DeviceFile& operator=(const DeviceFile&) = delete;

  // Up to attempts tries, 1 s apart (a device that is just being set up may
  // not be there yet). *error gets errno of the last try.
  bool open(const QString& path, int attempts, int* error);
  void close();
  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  // Byte size of the device or file; false with errno in *error.
  bool size(std::uint64_t* bytes, int* error) const;
  // Reads up to length bytes at offset, repeating short reads; returns the
  // bytes read (fewer only at the end of the device) or -1 with errno.
  std::int64_t readAt(std::uint64_t offset, void* data, std::uint64_t length) const;

 private:
  int fd_ = -1;
};

// The byte size of path's device or file.
bool deviceSize(const QString& path, std::uint64_t* bytes, int* error);

}  // namespace kvn_snapshot
