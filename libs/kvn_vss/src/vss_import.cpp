#include <dlfcn.h>

#include <QCoreApplication>
#include <QLibrary>
#include <mutex>

#include "kvn_log/log.h"
#include "kvn_vss/vss_import.h"
#include "loaded_library.h"

namespace kvn_vss {

namespace {

struct LoaderState {
  std::mutex mutex;
  std::unique_ptr<QLibrary> library;
  VssCreateInstanceFn create = nullptr;
};

LoaderState& state() {
  static LoaderState instance;
  return instance;
}

// A bare name is first looked for beside the program (a build tree), then in
// the installed agent's library folder, so that the service uses the library
// it was shipped with rather than one found on the system.
QStringList candidatesFor(const QString& library) {
  QStringList candidates;
  if (!library.contains(u'/')) {
    if (QCoreApplication::instance())
      candidates << QCoreApplication::applicationDirPath() + u'/' + library;
    candidates << QStringLiteral(ZLV_LIBRARY_DIR "/") + library;
  }
  candidates << library;
  return candidates;
}

std::unique_ptr<QLibrary> openLibrary(const QString& library) {
  QString reason;
  for (const QString& candidate : candidatesFor(library)) {
    auto handle = std::make_unique<QLibrary>(candidate);
    if (handle->load()) return handle;
    reason = handle->errorString();
    if (kvn_log::enabled(kvn_log::Debug)) {
      KLOG_D("snapshot library not found as %s: %s", qPrintable(candidate), qPrintable(reason));
    }
  }
  KLOG_W("cannot load snapshot library %s: %s", qPrintable(library), qPrintable(reason));
  return nullptr;
}

}  // namespace

bool loadVssLibrary() {
  const QString configured = qEnvironmentVariable(kLibraryVariable);
  return loadVssLibrary(configured.isEmpty() ? QString(kDefaultLibrary) : configured);
}

bool loadVssLibrary(const QString& library) {
  LoaderState& s = state();
  std::lock_guard lock(s.mutex);
  if (s.library) {
    KLOG_E("VSS library already loaded");
    return false;
  }
  KLOG_D("Loading snapshot library %s", qPrintable(library));
  std::unique_ptr<QLibrary> handle = openLibrary(library);
  if (!handle) {
    KLOG_E("VSS library failed to load");
    return false;
  }
  auto create = reinterpret_cast<VssCreateInstanceFn>(handle->resolve("vssCreateInstance"));
  if (!create) {
    KLOG_E("VSS library does not have required functions");
    handle->unload();
    return false;
  }
  s.library = std::move(handle);
  s.create = create;
  return true;
}

bool unloadVssLibrary() {
  LoaderState& s = state();
  std::lock_guard lock(s.mutex);
  if (!s.library) return false;
  const bool freed = s.library->unload();
  s.library.reset();
  s.create = nullptr;
  return freed;
}

LibraryPin::~LibraryPin() { ::dlclose(handle_); }

std::unique_ptr<LibraryPin> pinLoadedLibrary() {
  LoaderState& s = state();
  std::lock_guard lock(s.mutex);
  if (!s.library) return nullptr;
  // The file that holds the factory, opened once more: this only raises the
  // dynamic loader's reference count.
  Dl_info info{};
  void* handle = nullptr;
  if (::dladdr(reinterpret_cast<void*>(s.create), &info) != 0 && info.dli_fname) {
    handle = ::dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
  }
  if (!handle) return nullptr;
  return std::make_unique<LibraryPin>(handle, s.create);
}

}  // namespace kvn_vss
