// Clang thread-safety annotations and a mutex that the analysis understands.
//
// The macros expand to nothing for compilers other than clang. They are part of
// the public headers only because the pool's declarations carry them.
#pragma once

#include <mutex>

#if defined(__clang__)
#define VEXO_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define VEXO_THREAD_ANNOTATION(x)
#endif
#define VEXO_CAPABILITY(x) VEXO_THREAD_ANNOTATION(capability(x))
#define VEXO_SCOPED_CAPABILITY VEXO_THREAD_ANNOTATION(scoped_lockable)
#define VEXO_GUARDED_BY(x) VEXO_THREAD_ANNOTATION(guarded_by(x))
#define VEXO_REQUIRES(...) VEXO_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define VEXO_EXCLUDES(...) VEXO_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define VEXO_ACQUIRE(...) VEXO_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define VEXO_RELEASE(...) VEXO_THREAD_ANNOTATION(release_capability(__VA_ARGS__))

namespace vexo::util::detail {

// A std::mutex that clang's thread-safety analysis knows as a capability
// (libstdc++ does not annotate its own). native() is for condition
// variables, which need the std::mutex itself.
class VEXO_CAPABILITY("mutex") Mutex {
 public:
  void lock() VEXO_ACQUIRE() { mutex_.lock(); }
  void unlock() VEXO_RELEASE() { mutex_.unlock(); }
  std::mutex& native() noexcept { return mutex_; }

 private:
  std::mutex mutex_;
};

}  // namespace vexo::util::detail
