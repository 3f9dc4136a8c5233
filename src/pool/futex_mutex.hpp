// The pool's lock: a mutex on one futex word, cheaper than pthread_mutex_t on the path that every
// task takes twice (no type dispatch, no owner bookkeeping), with condition variables that work
// with it (std::condition_variable_any).
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "vexo/util/thread_annotations.hpp"

namespace vexo::util::detail {

// States: 0 unlocked, 1 locked, 2 locked and a thread may sleep on it. A
// thread that finds it locked spins briefly (the pool's critical sections are
// short), then marks it 2 and sleeps; unlock wakes one sleeper only from 2.
// Atomic acquire/release orders make it visible to ThreadSanitizer as a lock.
class VEXO_CAPABILITY("mutex") FutexMutex {
 public:
  void lock() VEXO_ACQUIRE() {
    std::uint32_t expected = 0;
    if (__builtin_expect(state_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                                        std::memory_order_relaxed),
                         1)) {
      return;
    }
    lock_slow(expected);
  }
  void unlock() VEXO_RELEASE() {
    if (__builtin_expect(state_.exchange(0, std::memory_order_release) == 2, 0)) wake_one();
  }
  bool try_lock() VEXO_THREAD_ANNOTATION(try_acquire_capability(true)) {
    std::uint32_t expected = 0;
    return state_.compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                          std::memory_order_relaxed);
  }

 private:
  __attribute__((noinline)) void lock_slow(std::uint32_t seen) {
    for (int spin = 0; spin < 64 && seen != 0; ++spin) {
      __builtin_ia32_pause();
      seen = state_.load(std::memory_order_relaxed);
      if (seen == 0 && state_.compare_exchange_weak(seen, 1, std::memory_order_acquire,
                                                    std::memory_order_relaxed)) {
        return;
      }
    }
    if (seen != 2) seen = state_.exchange(2, std::memory_order_acquire);
    while (seen != 0) {
      syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&state_), FUTEX_WAIT_PRIVATE, 2, nullptr,
              nullptr, 0);
      seen = state_.exchange(2, std::memory_order_acquire);
    }
  }
  __attribute__((noinline)) void wake_one() noexcept {
    syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&state_), FUTEX_WAKE_PRIVATE, 1, nullptr,
            nullptr, 0);
  }

  std::atomic<std::uint32_t> state_{0};
  static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
};

}  // namespace vexo::util::detail
