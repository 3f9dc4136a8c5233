// The thread pool's lookouts: workers between two tasks, to whom a submission hands its wake-up.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace vexo::util::detail {

// A worker that has finished a task and looks for the next one is about to
// see whatever is submitted meanwhile. A submission that finds such a worker
// leaves the wake-up of a sleeper to it instead of waking one itself: the
// worker wakes one only if, once it has taken its next task, another is
// still waiting. A stream of submissions that one worker keeps up with then
// wakes nobody, where each would otherwise wake a sleeper (a system call, and
// a thread more than there are cores, which preempts the submitter) only for
// it to find the queue empty.
//
// Rules:
// - A worker marks itself looking before it looks at the queue, and ends the
//   look with end(), which says whether a wake-up was left to it. Each word
//   is written by its worker and by submissions only, on a line of its own.
// - A submission hands its wake-up over with a compare-and-swap from
//   "looking" to "looking, wake-up owed", after it has published its task. A
//   worker whose end() comes later in that word's order therefore sees the
//   wake-up; and since end() reads the word with acquire, it also sees the
//   task that came before it. One wake-up per worker: a worker that already
//   owes one takes no second.
// - A handed-over wake-up is never lost: the worker ends its look either by
//   taking a task (then it wakes a sleeper if the queue still holds one) or
//   by going to sleep (it looks at the queue once more first, so it takes the
//   task itself).
// A stale read only costs a wake-up: a submission that does not see a worker
// looking wakes a sleeper, as it would have without lookouts.
class Lookouts {
 public:
  explicit Lookouts(std::size_t workers)
      : count_(workers), words_(std::make_unique<Word[]>(workers)) {}

  // Worker `w` starts looking. Relaxed: a submission that misses it wakes a
  // sleeper instead.
  void start(std::size_t w) noexcept { words_[w].value.store(kLooking, std::memory_order_relaxed); }
  // Worker `w` stops looking; true when a submission left it a wake-up.
  bool end(std::size_t w) noexcept {
    return words_[w].value.exchange(kIdle, std::memory_order_acq_rel) == kOwed;
  }
  // A submission, after publishing its task: true when a looking worker took
  // over the wake-up. Reads at most every worker's word, once.
  bool hand_over() noexcept {
    const std::size_t first = hint_.load(std::memory_order_relaxed);
    for (std::size_t i = 0; i < count_; ++i) {
      const std::size_t w = (first + i) % count_;
      std::uint32_t seen = words_[w].value.load(std::memory_order_relaxed);
      if (seen == kLooking &&
          words_[w].value.compare_exchange_strong(seen, kOwed, std::memory_order_acq_rel,
                                                  std::memory_order_relaxed)) {
        if (w != first) hint_.store(w, std::memory_order_relaxed);
        return true;
      }
    }
    return false;
  }

 private:
  static constexpr std::uint32_t kIdle = 0;
  static constexpr std::uint32_t kLooking = 1;
  static constexpr std::uint32_t kOwed = 2;  // looking, and a wake-up handed over
  struct alignas(64) Word {
    std::atomic<std::uint32_t> value{kIdle};
  };
  const std::size_t count_;
  std::unique_ptr<Word[]> words_;
  std::atomic<std::size_t> hint_{0};  // where the last hand-over succeeded
};

}  // namespace vexo::util::detail
