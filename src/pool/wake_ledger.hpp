// The thread pool's wake-up ledger: which sleeping workers a notification may reach.
#pragma once

#include <cstddef>

namespace vexo::util::detail {

// Idle workers and the wake-ups sent to them. Rules:
// - A worker counts itself idle while it sleeps on the work condition.
// - Whoever makes work available claims a wake-up first, and notifies one
//   worker only if the claim succeeds: at most one wake-up in flight per idle
//   worker, so that none is wasted on a worker that is already woken, and no
//   notification at all while every worker is busy.
// - A worker that wakes (notified, timed out or spuriously) settles one
//   wake-up in flight, if any.
// Not thread-safe: the scheduler holds its lock.
class WakeLedger {
 public:
  void going_to_sleep() noexcept { ++idle_; }
  void woke_up() noexcept {
    --idle_;
    if (in_flight_ > 0) --in_flight_;
  }
  // Returns true when a sleeping worker should be notified.
  bool claim() noexcept {
    if (idle_ <= in_flight_) return false;
    ++in_flight_;
    return true;
  }

 private:
  std::size_t idle_ = 0;
  std::size_t in_flight_ = 0;
};

}  // namespace vexo::util::detail
