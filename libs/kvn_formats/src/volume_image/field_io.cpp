#include "field_io.h"

#include <QFileDevice>
#include <string>

namespace kvn_formats::volume_image::io {

void writeValue(QIODevice& device, const void* data, std::size_t size) {
  const qint64 wrote = device.write(static_cast<const char*>(data), static_cast<qint64>(size));
  if (wrote != static_cast<qint64>(size)) {
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "write: Failed to write a value");
  }
}

void readValue(QIODevice& device, void* data, std::size_t size) {
  const qint64 got = device.read(static_cast<char*>(data), static_cast<qint64>(size));
  if (got != static_cast<qint64>(size)) {
    throw KvnCommonException(KVN_HERE, KVN_E_SERVER, "read: Failed to read a value");
  }
}

KvnQFileException fileError(const kvn_log::Location& where, const QIODevice& device,
                            const char* text) {
  KvnQFileException e(where, KVN_E_SERVER, text);
  if (const auto* file = qobject_cast<const QFileDevice*>(&device)) e.fileError = file->error();
  return e;
}

void seekOrThrow(QIODevice& device, std::uint64_t offset, const char* owner) {
  if (offset <= static_cast<std::uint64_t>(INT64_MAX) && device.seek(static_cast<qint64>(offset))) {
    return;
  }
  KvnQFileException e(KVN_HERE, KVN_E_SERVER, std::string(owner) + ": seek failed!");
  e.fileError = QFileDevice::PositionError;
  throw e;
}

}  // namespace kvn_formats::volume_image::io
