// A fixed-size pool of worker threads that run named tasks with start times.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tamu/SmallVector.hpp"
#include "vexo/util/exceptions.hpp"
#include "vexo/util/export.hpp"
#include "vexo/util/thread_annotations.hpp"

namespace vexo::util {

// ThreadPool runs callables ("tasks") on a fixed set of worker threads.
//
// Each task has a name, used in diagnostics and listings, and a start time
// before which it does not begin. Pending tasks wait in a bounded queue in
// submission order; a free worker takes the earliest-submitted task whose
// start time has come (a task that is not yet due does not hold back due
// tasks behind it). A task runs exactly once, on one worker, with no lock of
// the pool held; it is never retried or re-queued.
//
// A task that throws writes one line to std::cerr,
//   Exception in task "<name>": <what()>
// (or "unknown exception" for something not derived from std::exception), and
// the worker goes on with the next task.
//
// Start times are wall-clock (system clock) times, so they follow adjustments
// of the clock. A delayed task starts at its start time give or take the
// scheduler's wake-up delay when a worker is free, and no later than 100 ms
// after it even if the wall clock has jumped.
//
// Thread safety: every member function may be called from any thread at once,
// including from a task running in the same pool. One mutex guards the queue
// and the record of running tasks; it is never held while a task runs or
// while a task's callable is destroyed, so a task (or a callable's
// destructor) may submit to, query or remove from its own pool.
//
// The destructor must not run on one of the pool's own workers (that is, a
// task must not destroy its own pool).
class ThreadPool {
 public:
  // Identifies a task within one pool: issued 0, 1, 2, ... by successful
  // submissions, never reused.
  using TaskId = std::uint64_t;
  // A wall-clock time point with nanosecond ticks.
  using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;
  using Duration = TimePoint::duration;

  // Starts `num_threads` workers for a queue of at most `capacity` pending
  // tasks.
  //
  // Throws vexo::Error "Illegal number of threads for thread pool: <n>" when
  // num_threads is 0 or above 10000 (checked first), and
  // "Illegal capacity for thread pool: 0" when capacity is 0; no worker is
  // started then. If the system cannot start a worker, the workers already
  // started are stopped and joined, and the std::system_error propagates.
  VEXO_API ThreadPool(std::size_t num_threads, std::size_t capacity);

  // Stops and joins every worker, then destroys the pending tasks without
  // running them. Waits for running tasks to return. Must not be called from
  // a task of this pool.
  VEXO_API ~ThreadPool();

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  ThreadPool(ThreadPool&&) = delete;
  ThreadPool& operator=(ThreadPool&&) = delete;

  // Queues `fct` to run no earlier than `start_time`, and returns its id.
  // The callable and the name are moved into the pool, which owns them until
  // the task has run (or is removed, or the pool is destroyed). An empty
  // callable is accepted; running it reports std::bad_function_call.
  //
  // Throws vexo::Error
  // "Cannot add task: Pending queue has reached capacity (<capacity>)" when
  // the queue is full; the pool is unchanged and no id is used.
  VEXO_API TaskId add_task(std::function<void()> fct, TimePoint start_time, std::string name = {})
      VEXO_EXCLUDES(mutex_);

  // Queues `fct` to run once `delay` has passed from now (a delay of zero or
  // less: due at once; a delay beyond the representable range: never due
  // before the pool is destroyed). Otherwise as the TimePoint overload.
  TaskId add_task(std::function<void()> fct, Duration delay, std::string name = {})
      VEXO_EXCLUDES(mutex_) {
    return add_task(std::move(fct), start_after(delay), std::move(name));
  }

  // Queues `fct` to run as soon as a worker is free. Otherwise as the
  // TimePoint overload.
  TaskId add_task(std::function<void()> fct, std::string name = {}) VEXO_EXCLUDES(mutex_) {
    return add_task(std::move(fct), TimePoint::min(), std::move(name));
  }

  // Same as add_task(fct, name).
  TaskId add_work(std::function<void()> fct, std::string name = {}) VEXO_EXCLUDES(mutex_) {
    return add_task(std::move(fct), std::move(name));
  }

  // Returns the largest number of pending tasks, as given to the constructor.
  [[nodiscard]] std::size_t capacity() const noexcept { return capacity_; }

  // The queries below each take the pool's lock once, so an answer is one
  // consistent snapshot; it may be stale as soon as it is returned. None of
  // them throws anything of its own (a listing may throw std::bad_alloc).

  // Returns true when no task is pending (running tasks do not count).
  [[nodiscard]] VEXO_API bool is_empty() const VEXO_EXCLUDES(mutex_);
  // Returns true when the queue is full, i.e. when add_task would throw.
  [[nodiscard]] VEXO_API bool is_full() const VEXO_EXCLUDES(mutex_);
  // Returns true when no task is pending and none is running.
  [[nodiscard]] VEXO_API bool is_idle() const VEXO_EXCLUDES(mutex_);
  // Returns true when the task `task_id` is queued and not yet taken.
  [[nodiscard]] VEXO_API bool is_pending(TaskId task_id) const VEXO_EXCLUDES(mutex_);
  // Returns true when the task `task_id` is running now.
  [[nodiscard]] VEXO_API bool is_running(TaskId task_id) const VEXO_EXCLUDES(mutex_);
  // Returns true when the task `task_id` is pending or running. A task that
  // was submitted and has neither finished nor been removed always gives true.
  [[nodiscard]] VEXO_API bool is_pending_or_running(TaskId task_id) const VEXO_EXCLUDES(mutex_);
  // Returns the number of pending tasks.
  [[nodiscard]] VEXO_API std::size_t num_pending() const VEXO_EXCLUDES(mutex_);
  // Returns the number of workers. Takes no lock.
  [[nodiscard]] std::size_t num_threads() const noexcept { return threads_.size(); }
  // Returns the ids of the running tasks, ascending. The caller owns the
  // result.
  [[nodiscard]] VEXO_API tamu::SmallVector<TaskId, 16> get_running_task_ids() const
      VEXO_EXCLUDES(mutex_);
  // Returns copies of the names of the running tasks, in ascending order of
  // their ids. The caller owns the result.
  [[nodiscard]] VEXO_API tamu::SmallVector<std::string, 8> get_running_task_names() const
      VEXO_EXCLUDES(mutex_);

  // Removes the pending task `task_id`, which then never runs, and returns
  // true; returns false and changes nothing when no pending task has that id
  // (it is running, finished, removed or was never issued). The callable is
  // destroyed on the calling thread after the pool's lock is released.
  VEXO_API bool remove_pending_task(TaskId task_id) VEXO_EXCLUDES(mutex_);

  // Same as remove_pending_task(task_id).
  bool remove_pending_work(TaskId task_id) VEXO_EXCLUDES(mutex_) {
    return remove_pending_task(task_id);
  }

  // Removes every pending task and returns how many there were. Running
  // tasks go on. The callables are destroyed on the calling thread after the
  // pool's lock is released.
  VEXO_API std::size_t remove_pending_tasks() VEXO_EXCLUDES(mutex_);

 private:
  struct Task {
    Task() = default;
    Task(TaskId task_id, std::function<void()> fct, std::string name, TimePoint start_time)
        : name_(std::move(name)), fct_(std::move(fct)), id_(task_id), start_time_(start_time) {}
    Task(Task&&) noexcept = default;
    Task& operator=(Task&&) noexcept = default;
    ~Task() = default;

    std::string name_;
    std::function<void()> fct_;
    TaskId id_ = 0;
    TimePoint start_time_{};
  };

  // What a worker is running, in the slot of that worker.
  struct Running {
    bool active = false;
    TaskId id = 0;
    std::string name;  // keeps its capacity between tasks
  };

  // Returns now + delay, saturated to TimePoint::max().
  static TimePoint start_after(Duration delay) noexcept {
    const TimePoint now = std::chrono::system_clock::now();
    if (delay <= Duration::zero()) return now;
    if (delay > TimePoint::max() - now) return TimePoint::max();
    return now + delay;
  }

  void perform_work(std::size_t worker) VEXO_EXCLUDES(mutex_);
  void stop_workers() noexcept VEXO_EXCLUDES(mutex_);
  // Finds the earliest-submitted due task; returns pending_tasks_.end() when
  // none is due, after tightening earliest_start_.
  std::deque<Task>::iterator find_due_i(TimePoint now) VEXO_REQUIRES(mutex_);

  bool is_empty_i() const VEXO_REQUIRES(mutex_) { return pending_tasks_.empty(); }
  bool is_full_i() const VEXO_REQUIRES(mutex_) { return pending_tasks_.size() >= capacity_; }
  bool is_pending_i(TaskId task_id) const VEXO_REQUIRES(mutex_);
  bool is_running_i(TaskId task_id) const VEXO_REQUIRES(mutex_);
  std::size_t num_pending_i() const VEXO_REQUIRES(mutex_) { return pending_tasks_.size(); }

  /// Set once, by the destructor (or a failed constructor); workers stop when
  /// they see it. Written under mutex_ so that no sleeping worker misses it.
  std::atomic<bool> cancel_requested_{false};
  /// The largest number of pending tasks; fixed at construction.
  const std::size_t capacity_;
  /// One thread per worker; filled by the constructor, joined by the
  /// destructor, never changed in between (read without the lock).
  std::vector<std::thread> threads_;
  /// Guards every member below.
  mutable detail::Mutex mutex_;
  /// Idle workers sleep on this; a submission wakes one of them only when it
  /// brings a task that is due sooner than what they already wait for.
  std::condition_variable work_available_;
  /// Tasks not yet taken by a worker, oldest first.
  std::deque<Task> pending_tasks_ VEXO_GUARDED_BY(mutex_);
  /// One slot per worker: the task it is running, if any.
  std::vector<Running> ongoing_tasks_ VEXO_GUARDED_BY(mutex_);
  /// Number of active slots in ongoing_tasks_.
  std::size_t num_running_ VEXO_GUARDED_BY(mutex_) = 0;
  /// Id of the next successful submission.
  TaskId next_task_id_ VEXO_GUARDED_BY(mutex_) = 0;
  /// No pending task starts before this (TimePoint::max() when none is
  /// pending). It lets workers skip scans that cannot find a due task.
  TimePoint earliest_start_ VEXO_GUARDED_BY(mutex_) = TimePoint::max();
  /// Workers asleep on work_available_.
  std::size_t idle_workers_ VEXO_GUARDED_BY(mutex_) = 0;
  /// Notifications sent to sleepers that have not woken up yet.
  std::size_t wakeups_in_flight_ VEXO_GUARDED_BY(mutex_) = 0;
};

}  // namespace vexo::util
