/// \file
/// Clang thread-safety annotations and a mutex that the analysis understands.
///
/// The macros expand to nothing for compilers other than clang. They are part of
/// the public headers only because the pool's declarations carry them.
#pragma once

#include <mutex>

#if defined(__clang__)
/// Applies the clang attribute `x`; expands to nothing for other compilers.
#define VEXO_THREAD_ANNOTATION(x) __attribute__((x))
#else
/// Applies the clang attribute `x`; expands to nothing for other compilers.
#define VEXO_THREAD_ANNOTATION(x)
#endif
/// Declares a class to be a capability (a lock) named `x` in diagnostics.
#define VEXO_CAPABILITY(x) VEXO_THREAD_ANNOTATION(capability(x))
/// Declares a class whose objects hold a capability for their lifetime (RAII).
#define VEXO_SCOPED_CAPABILITY VEXO_THREAD_ANNOTATION(scoped_lockable)
/// Declares a data member that may be read or written only with `x` held.
#define VEXO_GUARDED_BY(x) VEXO_THREAD_ANNOTATION(guarded_by(x))
/// Declares a function that must be called with the given capabilities held.
#define VEXO_REQUIRES(...) VEXO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
/// Declares a function that must be called without the given capabilities held
/// (it takes them itself).
#define VEXO_EXCLUDES(...) VEXO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
/// Declares a function that acquires the given capabilities (its object's
/// when none is named) and returns holding them.
#define VEXO_ACQUIRE(...) VEXO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
/// Declares a function that releases the given capabilities (its object's when
/// none is named).
#define VEXO_RELEASE(...) VEXO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

namespace vexo::util::detail {

/// A std::mutex that clang's thread-safety analysis knows as a capability
/// (libstdc++ does not annotate its own). native() is for condition
/// variables, which need the std::mutex itself.
class VEXO_CAPABILITY("mutex") Mutex {
 public:
  /// Locks the mutex, blocking until it is free.
  void lock() VEXO_ACQUIRE() { mutex_.lock(); }
  /// Unlocks the mutex, which the calling thread must hold.
  void unlock() VEXO_RELEASE() { mutex_.unlock(); }
  /// Returns the std::mutex itself, for condition variables.
  std::mutex& native() noexcept { return mutex_; }

 private:
  std::mutex mutex_;
};

}  // namespace vexo::util::detail
