// A fixed-size pool of worker threads that run named tasks with start times.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>

#include "tamu/SmallVector.hpp"
#include "vexo/util/exceptions.hpp"
#include "vexo/util/export.hpp"

namespace vexo::util {

// ThreadPool runs callables ("tasks") on a fixed set of worker threads.
//
// Each task has a name, used in diagnostics and listings, and a start time
// before which it does not begin. Pending tasks wait in a bounded queue; a
// free worker takes the earliest-submitted (lowest id) task whose start time
// has come (a task that is not yet due does not hold back due tasks). A task
// runs exactly once, on one worker, with no lock of the pool held; it is never
// retried or re-queued.
//
// A task that throws writes one line to std::cerr,
//   Exception in task "<name>": <what()>
// (or "unknown exception" for something not derived from std::exception, and
// "<null what()>" when what() returns null), and the worker goes on with the
// next task. The line is written without allocating, so a task that throws
// std::bad_alloc while memory stays exhausted is reported too.
//
// Start times are wall-clock (system clock) times, so they follow adjustments
// of the clock. Idle workers sleep until the earliest start time or a
// submission that is due sooner; while a task with a start time is pending
// they also wake every 100 ms at most, to notice a wall clock that was set
// forward, so a delayed task starts no later than 100 ms after its start time
// when a worker is free. With no task pending, idle workers never wake.
// Every operation costs O(log n) or less in the number n of pending tasks
// (amortized), whatever their start times.
//
// Thread safety: every member function may be called from any thread at once,
// including from a task running in the same pool. One mutex guards the queue
// and the record of running tasks; it is never held while a task runs or
// while a task's callable is destroyed, so a task (or a callable's
// destructor) may submit to, query or remove from its own pool.
//
// A task that ends its thread (pthread_exit) ends that worker: the forced
// unwinding goes on through the worker, which leaves the pool's records
// consistent (the task is no longer running) and starts a worker in its place.
//
// The destructor must not run on one of the pool's own workers (that is, a
// task must not destroy its own pool).
//
// ABI: the class holds one pointer; all state lives in the library, so later
// versions of the library can change it without breaking binaries.
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
  VEXO_API TaskId add_task(std::function<void()> fct, TimePoint start_time, std::string name = {});

  // Queues `fct` to run once `delay` has passed from now on the wall clock,
  // that is at system_clock::now() + delay (a delay of zero or less: due at
  // once; a start beyond the representable range: never due before the pool
  // is destroyed). Otherwise as the TimePoint overload.
  VEXO_API TaskId add_task(std::function<void()> fct, Duration delay, std::string name = {});

  // Queues `fct` to run as soon as a worker is free. Otherwise as the
  // TimePoint overload.
  TaskId add_task(std::function<void()> fct, std::string name = {}) {
    return add_task(std::move(fct), TimePoint::min(), std::move(name));
  }

  // A name must be text: add_task(f, 0) or add_task(f, nullptr) would make a
  // std::string from a null pointer, so they do not compile.
  template <typename F, typename T>
    requires(std::is_integral_v<std::remove_cvref_t<T>> ||
             std::is_null_pointer_v<std::remove_cvref_t<T>>)
  TaskId add_task(F&&, T&&) = delete;

  // Same as add_task(fct, name).
  TaskId add_work(std::function<void()> fct, std::string name = {}) {
    return add_task(std::move(fct), std::move(name));
  }
  template <typename F, typename T>
    requires(std::is_integral_v<std::remove_cvref_t<T>> ||
             std::is_null_pointer_v<std::remove_cvref_t<T>>)
  TaskId add_work(F&&, T&&) = delete;

  // Returns the largest number of pending tasks, as given to the constructor.
  [[nodiscard]] VEXO_API std::size_t capacity() const noexcept;

  // The queries below each take the pool's lock once, so an answer is one
  // consistent snapshot; it may be stale as soon as it is returned. None of
  // them throws anything of its own (a listing may throw std::bad_alloc).

  // Returns true when no task is pending (running tasks do not count).
  [[nodiscard]] VEXO_API bool is_empty() const;
  // Returns true when the queue is full, i.e. when add_task would throw.
  [[nodiscard]] VEXO_API bool is_full() const;
  // Returns true when no task is pending and none is running.
  [[nodiscard]] VEXO_API bool is_idle() const;
  // Returns true when the task `task_id` is queued and not yet taken.
  [[nodiscard]] VEXO_API bool is_pending(TaskId task_id) const;
  // Returns true when the task `task_id` is running now.
  [[nodiscard]] VEXO_API bool is_running(TaskId task_id) const;
  // Returns true when the task `task_id` is pending or running. A task that
  // was submitted and has neither finished nor been removed always gives true.
  [[nodiscard]] VEXO_API bool is_pending_or_running(TaskId task_id) const;
  // Returns the number of pending tasks.
  [[nodiscard]] VEXO_API std::size_t num_pending() const;
  // Returns the number of workers. Takes no lock.
  [[nodiscard]] VEXO_API std::size_t num_threads() const noexcept;
  // Returns the ids of the running tasks, ascending. The caller owns the
  // result.
  [[nodiscard]] VEXO_API tamu::SmallVector<TaskId, 16> get_running_task_ids() const;
  // Returns copies of the names of the running tasks, in ascending order of
  // their ids. The caller owns the result.
  [[nodiscard]] VEXO_API tamu::SmallVector<std::string, 8> get_running_task_names() const;

  // Removes the pending task `task_id`, which then never runs, and returns
  // true; returns false and changes nothing when no pending task has that id
  // (it is running, finished, removed or was never issued). The callable is
  // destroyed on the calling thread after the pool's lock is released.
  VEXO_API bool remove_pending_task(TaskId task_id);

  // Same as remove_pending_task(task_id).
  bool remove_pending_work(TaskId task_id) { return remove_pending_task(task_id); }

  // Removes every pending task and returns how many there were. Running
  // tasks go on. The callables are destroyed on the calling thread after the
  // pool's lock is released.
  VEXO_API std::size_t remove_pending_tasks();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vexo::util
