// The thread pool's capacity: the places that pending tasks hold.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace vexo::util::detail {

// A pending task holds a place from its submission until a worker takes it
// (or it is removed); a recurring series holds its place also during its
// runs, until it ends. A submission takes its place before anything else, so
// that a full pool refuses it exactly, whether it goes through the lock or
// not. A pool with no capacity (SIZE_MAX) counts nothing: every call is a
// read of a constant, and a submission writes no shared word for its place.
class Places {
 public:
  explicit Places(std::size_t capacity) noexcept : capacity_(capacity) {}

  bool bounded() const noexcept { return capacity_ != SIZE_MAX; }
  // Takes a place; false when all are held. Lock-free.
  bool take() noexcept {
    if (!bounded()) return true;
    std::size_t used = used_.load(std::memory_order_relaxed);
    do {
      if (used >= capacity_) return false;
    } while (!used_.compare_exchange_weak(used, used + 1, std::memory_order_relaxed));
    return true;
  }
  // Sequentially consistent, as full(): a submitter that counts itself
  // among those waiting for room and then finds the pool full, and a worker
  // that gives a place back and then reads that count, cannot both miss the
  // other.
  void give(std::size_t n = 1) noexcept {
    if (bounded()) used_.fetch_sub(n, std::memory_order_seq_cst);
  }
  bool full() const noexcept {
    return bounded() && used_.load(std::memory_order_seq_cst) >= capacity_;
  }
  // The places held (0 for a pool with no capacity).
  std::size_t used() const noexcept { return used_.load(std::memory_order_relaxed); }

 private:
  const std::size_t capacity_;
  std::atomic<std::size_t> used_{0};
};

}  // namespace vexo::util::detail
