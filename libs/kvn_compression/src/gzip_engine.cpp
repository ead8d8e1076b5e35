#include "kvn_compression/gzip_engine.h"

#include <atomic>

namespace kvn_compression {

namespace {

std::atomic<GzipEngine> engine{GzipEngine::Isal};

}  // namespace

GzipEngine gzipEngine() { return engine.load(); }

void setGzipEngine(GzipEngine value) { engine.store(value); }

}  // namespace kvn_compression
