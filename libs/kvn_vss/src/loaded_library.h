// The process-wide record of the loaded snapshot library, shared by the
// loader and the snapshot sets.
#pragma once

#include <memory>

#include "kvn_vss/vss.h"

namespace kvn_vss {

// A reference of a snapshot set's own on the loaded library: it keeps the
// library's code mapped while the set holds an object made by it, whatever
// the loader does meanwhile. (QLibrary cannot serve: its handles on one file
// share a single load, which the loader's unload ends for all of them.)
class LibraryPin {
 public:
  LibraryPin(void* handle, VssCreateInstanceFn create) : handle_(handle), create_(create) {}
  ~LibraryPin();
  LibraryPin(const LibraryPin&) = delete;
  LibraryPin& operator=(const LibraryPin&) = delete;

  VssCreateInstanceFn create() const { return create_; }

 private:
  void* handle_;
  VssCreateInstanceFn create_;
};

// Null when no library is loaded.
std::unique_ptr<LibraryPin> pinLoadedLibrary();

}  // namespace kvn_vss
