// Which library writes and reads the gzip streams. Both produce the same
// format, which the box reads either way; the bytes differ.
#pragma once

namespace kvn_compression {

enum class GzipEngine {
  // Intel ISA-L: about ten times zlib's speed at level 1, output a little
  // larger. The default, because zlib's level 1 would cap file backups far
  // below the disk and the AES stage.
  Isal,
  // zlib, the reference implementation.
  Zlib,
};

// The process-wide choice that new gzip streams use unless told otherwise.
GzipEngine gzipEngine();
void setGzipEngine(GzipEngine engine);

}  // namespace kvn_compression
