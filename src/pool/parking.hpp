// The thread pool's parking word: idle workers sleep on a futex word, and spin briefly before
// they do.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>

namespace vexo::util::detail {

// One pause of a spin: tells the core that this is a wait loop, so that a
// sibling hyper-thread gets the pipeline and leaving the loop costs no
// mispredicted memory order.
inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#else
  std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

// The time on CLOCK_MONOTONIC in nanoseconds: the clock of park()'s
// deadlines, and the one std::chrono::steady_clock reads on Linux, read
// without the library call around it.
inline std::int64_t monotonic_ns() noexcept {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return std::int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// A 32-bit word that sleepers park on and wakers bump. The protocol that
// makes a wake-up impossible to lose belongs to the caller (a sleeper reads
// the word before it announces its sleep in the wake-up ledger; a waker
// claims that sleeper's wake-up in the ledger, a read-modify-write that sees
// the announcement, before it bumps the word): the kernel only sleeps while
// the word still holds the value read, so a bump between the read and the
// sleep makes the sleep return at once.
//
// Unlike a condition variable, parking takes no lock of its own and waking
// one sleeper is one system call, with none at all when the waker knows that
// nobody sleeps.
class ParkingWord {
 public:
  std::uint32_t value() const noexcept { return word_.load(std::memory_order_relaxed); }
  // Changes the word, so that a sleeper that read the old value does not
  // sleep (or wakes when woken).
  void bump() noexcept { word_.fetch_add(1, std::memory_order_relaxed); }

  // Sleeps while the word holds `seen`, until woken or `deadline_ns` on
  // CLOCK_MONOTONIC (INT64_MAX: no deadline). Returns on a wake-up, a
  // timeout, a signal or a changed word alike: the caller looks again.
  void park(std::uint32_t seen, std::int64_t deadline_ns) noexcept {
    timespec at{};
    timespec* timeout = nullptr;
    if (deadline_ns != INT64_MAX) {
      at.tv_sec = deadline_ns / 1000000000;
      at.tv_nsec = deadline_ns % 1000000000;
      timeout = &at;
    }
    // FUTEX_WAIT_BITSET takes an absolute time on CLOCK_MONOTONIC, which is
    // the steady clock's, so a sleep until a start time needs no clock read.
    syscall(SYS_futex, address(), FUTEX_WAIT_BITSET_PRIVATE, seen, timeout, nullptr,
            FUTEX_BITSET_MATCH_ANY);
  }
  // Wakes up to `count` sleepers.
  void wake(int count) noexcept { syscall(SYS_futex, address(), FUTEX_WAKE_PRIVATE, count); }
  void wake_all() noexcept { wake(INT_MAX); }

 private:
  std::uint32_t* address() noexcept {
    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    return reinterpret_cast<std::uint32_t*>(&word_);  // NOLINT: the kernel reads the word itself
  }
  std::atomic<std::uint32_t> word_{0};
};

}  // namespace vexo::util::detail
