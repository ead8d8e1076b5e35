// Qt orders some hand-overs between threads with its own futex-based locks,
// which the thread sanitizer cannot see because Qt is not built with it:
// above all, QThread::wait() returning once run() has ended. Code that relies
// on such an ordering marks both ends with the same key, so that the
// sanitizer knows the order Qt already guarantees. Outside a thread
// sanitizer build both are empty.
#pragma once

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace kvn_common {

// The end that hands over: everything this thread did so far is ordered
// before what follows handOverTaken(key) on another thread.
inline void handOverGiven([[maybe_unused]] void* key) {
#if defined(__SANITIZE_THREAD__)
  __tsan_release(key);
#endif
}

// The end that takes over, once Qt guarantees the giving end has passed.
inline void handOverTaken([[maybe_unused]] void* key) {
#if defined(__SANITIZE_THREAD__)
  __tsan_acquire(key);
#endif
}

}  // namespace kvn_common
