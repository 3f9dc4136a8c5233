// The thread pool's wake-up ledger: which sleeping workers a notification may reach.
#pragma once

#include <atomic>
#include <cstdint>

namespace vexo::util::detail {

// Idle workers and the wake-ups sent to them. Rules:
// - A worker counts itself idle while it sleeps on the work word.
// - Whoever makes work available claims a wake-up first, and wakes one
//   worker only if the claim succeeds: at most one wake-up in flight per idle
//   worker, so that none is wasted on a worker that is already woken, and no
//   more are sent than there are sleepers.
// - A worker that wakes up, for any reason, takes one wake-up off the ledger.
// Both counts live in one atomic word, so that a submitter that takes no lock
// can claim; when no worker sleeps, a claim reads the word and writes nothing.
class WakeLedger {
 public:
  // A read-modify-write in the single total order: a worker that then looks
  // for work, and a submitter that published work and then claims, cannot
  // both miss the other.
  void going_to_sleep() noexcept { word_.fetch_add(kIdle, std::memory_order_seq_cst); }
  // Sequentially consistent too: a submitter that saw this wake-up still in
  // flight (and so woke nobody) published its task before this, so the woken
  // worker finds it, at the latest when it announces its next sleep and
  // looks at the ring once more.
  void woke_up() noexcept {
    std::uint64_t w = word_.load(std::memory_order_relaxed);
    for (;;) {
      const std::uint64_t next = w - kIdle - (in_flight(w) > 0 ? 1 : 0);
      if (word_.compare_exchange_weak(w, next, std::memory_order_seq_cst,
                                      std::memory_order_relaxed)) {
        return;
      }
    }
  }
  // A sleeper has no wake-up in flight: one read, no write. Sequentially
  // consistent, like claim(), so that a submitter that published work and
  // reads false here is seen by a worker going to sleep.
  bool any_unwoken() const noexcept {
    const std::uint64_t w = word_.load(std::memory_order_seq_cst);
    return idle(w) > in_flight(w);
  }
  // Returns true when a sleeping worker should be woken. With `only_first`,
  // only if no wake-up is in flight at all.
  bool claim(bool only_first = false) noexcept {
    std::uint64_t w = word_.load(std::memory_order_seq_cst);
    for (;;) {
      if (idle(w) <= in_flight(w) || (only_first && in_flight(w) > 0)) return false;
      // Acquire (at least) on success: the sleeper's read of the parking
      // word, before it announced its sleep, comes before the waker's bump.
      if (word_.compare_exchange_weak(w, w + 1, std::memory_order_seq_cst)) return true;
    }
  }

 private:
  static constexpr std::uint64_t kIdle = std::uint64_t{1} << 32;
  static std::uint64_t idle(std::uint64_t w) noexcept { return w >> 32; }
  static std::uint64_t in_flight(std::uint64_t w) noexcept { return w & (kIdle - 1); }
  std::atomic<std::uint64_t> word_{0};
};

}  // namespace vexo::util::detail
