// The thread pool's workers: their threads, their loop, and the replacement of a worker whose
// task ended its thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "failure_report.hpp"
#include "scheduler.hpp"

namespace vexo::util::detail {

class Workers {
 public:
  Workers(Scheduler& scheduler, FailureReporter& reporter, std::size_t count,
          std::string thread_name)
      : scheduler_(scheduler), reporter_(reporter), count_(count), name_(std::move(thread_name)) {}

  std::size_t count() const noexcept { return count_; }

  // Starts the workers. If one cannot be started, stops and joins those
  // started, and throws the std::system_error.
  void start();
  // Joins every worker; the scheduler must have been told to stop them.
  void join() noexcept;
  // Runs `run` on the calling thread, reporting its failure.
  void execute(Run& run);
  // Starts again the workers whose replacement failed, if any (cheap when
  // there are none). Called at each submission.
  void restart_missing() noexcept {
    if (missing_.load(std::memory_order_relaxed) != 0) restart_missing_slow();
  }

 private:
  void main(std::size_t worker);
  void loop(Run& run);
  void name_thread(std::size_t worker) const noexcept;
  // The calling worker's task ended its thread: start another in its place,
  // or, if that fails, report it under the task's id and name and leave the
  // slot to restart_missing().
  void replace(std::size_t worker, TaskId id, const std::string& name) noexcept;
  void restart_missing_slow() noexcept;

  Scheduler& scheduler_;
  FailureReporter& reporter_;
  const std::size_t count_;
  const std::string name_;

  /// Guards the thread lists below.
  std::mutex mutex_;
  /// One thread per worker slot (not joinable while the slot is missing).
  std::vector<std::thread> threads_;
  /// Threads that ended by a forced unwinding, joined by join().
  std::vector<std::thread> retired_;
  /// Slots whose worker could not be replaced.
  std::vector<std::size_t> missing_slots_;
  /// Set by join(): no worker is replaced from then on.
  bool joining_ = false;
  /// missing_slots_.size(), readable without the lock.
  std::atomic<std::size_t> missing_{0};
};

}  // namespace vexo::util::detail
