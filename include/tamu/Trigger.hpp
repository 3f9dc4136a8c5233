/// \file
/// tamu::Trigger: a boolean flag that threads can wait on with a time limit.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace tamu {

/// A Trigger is set by trigger() and stays set until reset() clears it.
/// wait_for() returns at once while it is set, and otherwise blocks until it is
/// set or the time limit has passed on a monotonic clock. All members may be
/// called from any thread at once. Not copyable or movable.
class Trigger {
 public:
  /// Creates a trigger, set when `initially_set` is true.
  explicit Trigger(bool initially_set) : set_(initially_set) {}
  /// Not copyable, and so not movable either.
  Trigger(const Trigger&) = delete;
  Trigger& operator=(const Trigger&) = delete;

  /// Sets the flag and wakes every thread waiting in wait_for().
  void trigger() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      set_ = true;
    }
    cv_.notify_all();
  }

  /// Clears the flag.
  void reset() {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = false;
  }

  /// Returns whether the flag is set, without waiting.
  [[nodiscard]] bool is_set() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_;
  }

  /// Blocks until the flag is set or `timeout` has passed (steady clock), and
  /// returns the flag's state then. Returns true at once if it is already set.
  template <typename Rep, typename Period>
  bool wait_for(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return set_; });
  }

 private:
  mutable std::mutex mutex_;    ///< Guards set_.
  std::condition_variable cv_;  ///< Notified when set_ becomes true.
  bool set_;                    ///< The flag; guarded by mutex_.
};

}  // namespace tamu
