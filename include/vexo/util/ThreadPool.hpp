// A fixed-size pool of worker threads that run named tasks with start times.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "tamu/SmallVector.hpp"
#include "vexo/util/exceptions.hpp"
#include "vexo/util/export.hpp"

namespace vexo::util {

namespace detail {

// Lets a std::function hold a std::packaged_task, which cannot be copied.
// The pool moves the callables it is given and never copies them; a copy
// would end the program.
template <typename R>
class PackagedCall {
 public:
  explicit PackagedCall(std::packaged_task<R()>&& task) noexcept : task_(std::move(task)) {}
  PackagedCall(PackagedCall&&) noexcept = default;
  PackagedCall& operator=(PackagedCall&&) noexcept = default;
  PackagedCall(const PackagedCall&) { std::terminate(); }
  PackagedCall& operator=(const PackagedCall&) = delete;
  ~PackagedCall() = default;
  void operator()() { task_(); }

 private:
  std::packaged_task<R()> task_;
};

// A name must be text: an integer or a null pointer in the name position
// would make a std::string from a null pointer.
template <typename T>
concept NotAName =
    std::is_integral_v<std::remove_cvref_t<T>> || std::is_null_pointer_v<std::remove_cvref_t<T>>;

}  // namespace detail

// ThreadPool runs callables ("tasks") on a fixed set of worker threads.
//
// Each task has a name, used in diagnostics and listings, and a start time
// before which it does not begin. Pending tasks wait in a bounded queue; a
// free worker takes the earliest-submitted (lowest id) task whose start time
// has come (a task that is not yet due does not hold back due tasks). A task
// runs exactly once, on one worker, with no lock of the pool held; it is never
// retried. (A recurring series, add_recurring(), runs once per period.)
//
// A task that throws (and was not submitted with submit(), whose future takes
// the exception) goes to the handler given to set_exception_handler(); by
// default it writes one line to std::cerr,
//   Exception in task "<name>": <what()>
// (or "unknown exception" for something not derived from std::exception, and
// "<null what()>" when what() returns null), and the worker goes on with the
// next task. The line is written without allocating, so a task that throws
// std::bad_alloc while memory stays exhausted is reported too.
//
// Start times are wall-clock (system clock) times, which follow adjustments
// of the clock, or steady-clock times, which do not. Idle workers sleep until the earliest start
// time or a submission that is due sooner; while a task with a start time is pending they also wake
// every 100 ms at most, to notice a wall clock that was set forward, so a delayed task starts no
// later than 100 ms after its start time when a worker is free. With no task pending, idle workers
// never wake. Every operation costs O(log n) or less in the number n of pending tasks (amortized),
// whatever their start times.
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
  // A steady-clock time point: unaffected when the wall clock is set.
  using SteadyTimePoint = std::chrono::steady_clock::time_point;

  // What submit() returns: the task's id and the future of its result.
  template <class R>
  struct Submission {
    TaskId id;
    std::future<R> result;
  };

  // When the runs of a recurring series start: at first, first + period,
  // first + 2 period, ... (fixed_rate), or one period after the end of the
  // previous run (fixed_delay).
  enum class Recurrence { fixed_rate, fixed_delay };

  // Settings for the three-argument constructor.
  struct Options {
    // Workers are named "<thread_name>-<n>" (n = 0, 1, ...), cut to the
    // 15 characters Linux allows by shortening thread_name; empty: unnamed.
    std::string thread_name;
  };

  // Counts since the pool was made (see stats()).
  struct Stats {
    std::uint64_t submitted = 0;  // accepted submissions (a series counts once)
    std::uint64_t completed = 0;  // runs that ended, normally or by an exception
    std::uint64_t failed = 0;     // runs whose exception went to the handler or std::cerr
    std::uint64_t removed = 0;    // tasks and series removed before they ran or ended
    Duration total_queue_wait{};  // from due (submission or start time) to a worker taking it
    Duration max_queue_wait{};
    Duration total_run_time{};
    Duration max_run_time{};
  };

  // Receives the failures of tasks without a future: the task's id, its
  // name, and the exception. It runs on the worker, with no lock held.
  using ExceptionHandler = std::function<void(TaskId, std::string_view name, std::exception_ptr)>;

  // Starts `num_threads` workers for a queue of at most `capacity` pending
  // tasks.
  //
  // Throws vexo::Error "Illegal number of threads for thread pool: <n>" when
  // num_threads is 0 or above 10000 (checked first), and
  // "Illegal capacity for thread pool: 0" when capacity is 0; no worker is
  // started then. If the system cannot start a worker, the workers already
  // started are stopped and joined, and the std::system_error propagates.
  VEXO_API ThreadPool(std::size_t num_threads, std::size_t capacity);

  // As the two-argument constructor, with the settings of `options`.
  VEXO_API ThreadPool(std::size_t num_threads, std::size_t capacity, Options options);

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

  // Queues `fct` to run no earlier than the steady-clock time `start`, which
  // setting the wall clock does not move. Otherwise as the TimePoint overload.
  VEXO_API TaskId add_task(std::function<void()> fct, SteadyTimePoint start, std::string name = {});

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
  template <typename F, detail::NotAName T>
  TaskId add_task(F&&, T&&) = delete;

  // As add_task(fct, name), but returns an empty optional instead of
  // throwing when the queue is full.
  VEXO_API std::optional<TaskId> try_add_task(std::function<void()> fct, std::string name = {});

  // As add_task(fct, name), but waits while the queue is full, at most
  // `timeout` (steady clock); returns an empty optional if the queue is still
  // full then. A task or a removal that makes room wakes the caller.
  VEXO_API std::optional<TaskId> add_task_wait(std::function<void()> fct, Duration timeout,
                                               std::string name = {});

  // Queues `fct` to run with `name` and returns its id and the future of its
  // result. F may return any type and may be move-only. An exception thrown
  // by the task goes into the future (not to the handler or std::cerr); a
  // task removed before it ran (also by the destructor) leaves the future
  // with std::future_error broken_promise. A full queue throws as add_task
  // does, and nothing is queued.
  template <class F>
  auto submit(F&& fct, std::string name = {})
      -> Submission<std::invoke_result_t<std::decay_t<F>&>> {
    return submit(std::forward<F>(fct), TimePoint::min(), std::move(name));
  }
  // The same, to run no earlier than `start`.
  template <class F>
  auto submit(F&& fct, TimePoint start, std::string name = {})
      -> Submission<std::invoke_result_t<std::decay_t<F>&>> {
    auto [call, future] = package(std::forward<F>(fct));
    const TaskId id = add_task(std::move(call), start, std::move(name));
    return {id, std::move(future)};
  }
  // The same, to run no earlier than the steady-clock time `start`.
  template <class F>
  auto submit(F&& fct, SteadyTimePoint start, std::string name = {})
      -> Submission<std::invoke_result_t<std::decay_t<F>&>> {
    auto [call, future] = package(std::forward<F>(fct));
    const TaskId id = add_task(std::move(call), start, std::move(name));
    return {id, std::move(future)};
  }
  // The same, to run once `delay` has passed (as add_task with a Duration).
  template <class F>
  auto submit(F&& fct, Duration delay, std::string name = {})
      -> Submission<std::invoke_result_t<std::decay_t<F>&>> {
    auto [call, future] = package(std::forward<F>(fct));
    const TaskId id = add_task(std::move(call), delay, std::move(name));
    return {id, std::move(future)};
  }
  template <typename F, detail::NotAName T>
  auto submit(F&&, T&&) = delete;

  // Queues a recurring series: `fct` runs first after `initial_delay` (zero
  // or less: at once), then every `period` as `mode` says, measured on the
  // steady clock, until the series is removed. Returns the one id of the
  // whole series: it is pending between runs and running during a run.
  // Runs never overlap; a fixed-rate series that falls behind skips the
  // starts it missed instead of running them in a burst. A run that throws
  // is reported and the series goes on. The series counts as one pending
  // task against the capacity, also during a run. remove_pending_task(id)
  // ends it, also during a run (which finishes; no other starts).
  //
  // Throws vexo::Error "Illegal period for recurring task: <n> ns" when
  // period is zero or less, and as add_task when the queue is full.
  VEXO_API TaskId add_recurring(std::function<void()> fct, Duration initial_delay, Duration period,
                                std::string name = {}, Recurrence mode = Recurrence::fixed_rate);

  // Blocks until no task is pending and none is running. Tasks due later,
  // and recurring series, count as pending: with one of them queued this
  // waits until it has run (or, for a series, until it is removed).
  // Throws vexo::Error "Cannot wait for the pool to be idle from one of its
  // own tasks" when called from a task of this pool, where it would never
  // return.
  VEXO_API void wait_idle();
  // As wait_idle(), at most `timeout`; returns false on timeout.
  VEXO_API bool wait_idle_for(Duration timeout);
  // Blocks until the task `id` has finished or been removed (a series: until
  // it was removed and its last run ended), and returns true; returns true at
  // once for an id that is neither pending nor running. Throws vexo::Error
  // "Cannot wait for task <id> from inside that task" when a task waits for
  // itself.
  VEXO_API bool wait(TaskId id);
  // As wait(id), at most `timeout`; returns false on timeout.
  VEXO_API bool wait_for(TaskId id, Duration timeout);

  // Sends the failures of tasks without a future to `handler` instead of
  // std::cerr (an empty handler restores the default line). A handler that
  // throws is reported by a line "Exception in exception handler for task
  // "<name>": <what()>", and the pool goes on.
  VEXO_API void set_exception_handler(ExceptionHandler handler);

  // Same as add_task(fct, name).
  TaskId add_work(std::function<void()> fct, std::string name = {}) {
    return add_task(std::move(fct), std::move(name));
  }
  template <typename F, detail::NotAName T>
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
  // Returns true when the task `task_id` is queued and not yet taken (a
  // recurring series: between two runs).
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
  // Returns the ids of the `max_count` pending tasks of lowest id, ascending.
  [[nodiscard]] VEXO_API tamu::SmallVector<TaskId, 16> get_pending_task_ids(
      std::size_t max_count = SIZE_MAX) const;
  // Returns copies of the names of the same tasks, in the same order.
  [[nodiscard]] VEXO_API tamu::SmallVector<std::string, 8> get_pending_task_names(
      std::size_t max_count = SIZE_MAX) const;
  // Returns the counts and times since the pool was made; they are kept
  // without an allocation per task.
  [[nodiscard]] VEXO_API Stats stats() const;
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

  // Removes every pending task and ends every recurring series, and returns
  // how many tasks and series that were. Running tasks go on. The callables are destroyed on the
  // calling thread after the pool's lock is released.
  VEXO_API std::size_t remove_pending_tasks();

 private:
  template <class F>
  static auto package(F&& fct) {
    using R = std::invoke_result_t<std::decay_t<F>&>;
    std::packaged_task<R()> task(std::forward<F>(fct));
    std::future<R> future = task.get_future();
    return std::pair<std::function<void()>, std::future<R>>(
        detail::PackagedCall<R>(std::move(task)), std::move(future));
  }

  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vexo::util
