/// \file
/// A fixed-size pool of worker threads that run named tasks with start times.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "tamu/SmallVector.hpp"
#include "vexo/util/exceptions.hpp"
#include "vexo/util/export.hpp"
#include "vexo/util/task.hpp"

namespace vexo::util {

namespace detail {

/// The library's own access to a pool's internals (TaskGroup and
/// parallel_for queue their helper tasks through it); not for users.
struct PoolAccess;

/// True for an integer or a null pointer, which must not stand where a task's
/// name goes: `add_task(f, 0)` would make a std::string from a null pointer.
/// The overloads constrained on it are deleted, so such a call does not
/// compile, and the compiler names this concept in its message.
template <typename T>
concept IntegerOrNullPassedAsTaskName =
    std::is_integral_v<std::remove_cvref_t<T>> || std::is_null_pointer_v<std::remove_cvref_t<T>>;

/// The result type of a callable passed to submit(): what it returns when
/// called with a std::stop_token if it accepts one, else with no argument.
template <class F>
struct SubmitResult {
  using type = std::invoke_result_t<F&>;
};
template <class F>
requires std::is_invocable_v<F&, std::stop_token>
struct SubmitResult<F> {
  using type = std::invoke_result_t<F&, std::stop_token>;
};

}  // namespace detail

/// ThreadPool runs callables ("tasks") on a fixed set of worker threads.
///
/// Each task has a name, used in diagnostics and listings, and a start time
/// before which it does not begin. Pending tasks wait in a bounded queue. A
/// free worker takes the due task (one whose start time has come) that became
/// due first: tasks are taken in the order of their submission, a task that is
/// not yet due does not hold back due tasks, a delayed task keeps the place of
/// its submission once due, and a recurring series whose next run becomes due
/// queues behind the tasks already due, as if it had been submitted then. A
/// task runs exactly once, on one worker, with no lock of the pool held; it is
/// never retried. (A recurring series, add_recurring(), runs once per period.)
/// The one exception to the order: a task that waits (wait(), wait_for()) for
/// a due pending task of the same pool runs that task itself, at once.
/// Batches (TaskGroup, parallel_for) run through helper tasks, which step
/// aside for a due task between two of their members, so batch work delays
/// it by at most one member's run per worker.
///
/// Tasks are Task objects: any callable invocable as `void()` or as
/// `void(std::stop_token)`, move-only ones included. A task that takes a
/// std::stop_token can be asked to stop while it runs (request_stop()); the
/// token costs nothing to tasks that take none.
///
/// A task that throws (and was not submitted with submit(), whose future takes
/// the exception) goes to the handler given to set_exception_handler(); by
/// default it writes one line to std::cerr,
///   Exception in task "\<name\>": <what()>
/// (or "unknown exception" for something not derived from std::exception, and
/// "<null what()>" when what() returns null), and the worker goes on with the
/// next task. The line is written without allocating, so a task that throws
/// std::bad_alloc while memory stays exhausted is reported too.
///
/// Start times are wall-clock (system clock) times, which follow adjustments
/// of the clock, or steady-clock times, which do not. Idle workers sleep until
/// the earliest start time or a submission that is due sooner; while a task
/// with a wall-clock start time is pending they also wake every 100 ms at
/// most, to notice a wall clock that was set forward, so a delayed task starts
/// no later than 100 ms after its start time when a worker is free. With no
/// task pending, idle workers never wake.
///
/// Costs: submitting, taking, removing and querying one task cost O(log n) or
/// less in the number n of pending tasks (amortized), whatever their start
/// times; a listing costs O(n + k log k) for k results; num_pending(),
/// is_empty(), is_idle() and stats() also read up to 1024 recent submissions.
/// A submission with no start time takes no lock while the pool has room: it
/// takes its place (one atomic operation, none in a pool with no capacity of
/// its own, the default), claims its id with another and publishes itself in
/// a ring of 1024 slots, from which workers take in order. Past that, a
/// submission from a thread other than the pool's workers waits for the
/// workers to empty half the ring, yielding while they keep up with it and
/// sleeping while they are slower (as long as they take a task every 0.2 ms,
/// 2 ms at most). If no room came, and for a submission from a task, it
/// moves the ring's tasks to the queue under the lock. Other submissions take
/// the pool's lock once; a thread that finds it taken tries again for a few
/// microseconds before it blocks.
/// Either wakes a worker only when one sleeps, and then only when no worker
/// between two tasks will look at the ring (it wakes a sleeper after its own
/// take if tasks are left) and no other wake-up is on its way: a stream of
/// tasks that the awake workers keep up with wakes nobody, and a burst wakes
/// the sleepers one after another. Between two tasks of the ring
/// a worker takes no lock of the pool either (one atomic operation claims
/// the front, under a lock of its own worker), unless a delayed task, a
/// recurring series' run or a task the ring could not hold is due before it;
/// those are taken under the pool's lock. Queries and listings take every
/// worker's lock as well, O(workers). A callable of at most 24 bytes is
/// stored without an allocation (see Task).
///
/// Thread safety: every member function may be called from any thread at once,
/// including from a task running in the same pool. One mutex guards the queue
/// (all but the ring) and the recurring series; each worker's record of
/// running tasks has a lock of its own. No lock is held while a task runs or
/// while a task's callable is destroyed, so a task (or a callable's
/// destructor) may submit to, query or remove from its own pool.
///
/// A task that ends its thread (pthread_exit) ends that worker: its run is
/// recorded as ended (a recurring series ends with it), and the pool starts a
/// worker in its place. If that start fails, the failure is reported under the
/// task's id and name (to the handler, or by the default line), and the start
/// is tried again at each later submission.
///
/// Destruction: see ~ThreadPool(). The destructor must not run on one of the
/// pool's own workers (that is, a task must not destroy its own pool).
///
/// ABI: the class holds one pointer; all state lives in the library. Options
/// and Stats cross into the library by address, with their size, so later 2.x
/// versions may append members to them.
class ThreadPool {
 public:
  /// Identifies a task within one pool: issued 0, 1, 2, ... by successful
  /// submissions, never reused.
  using TaskId = std::uint64_t;
  /// A wall-clock time point with nanosecond ticks.
  using TimePoint = std::chrono::time_point<std::chrono::system_clock, std::chrono::nanoseconds>;
  /// A length of time in nanoseconds.
  using Duration = TimePoint::duration;
  /// A steady-clock time point: unaffected when the wall clock is set.
  using SteadyTimePoint = std::chrono::steady_clock::time_point;

  /// What submit() returns: the task's id and the future of its result.
  template <class R>
  struct Submission {
    TaskId id;              ///< The task's id, for wait(), request_stop() and the queries.
    std::future<R> result;  ///< The task's result, or its exception.
  };

  /// When the runs of a recurring series start.
  enum class Recurrence {
    /// At first, first + period, first + 2 period, ...: each start lies on
    /// that grid, strictly after the end of the previous run.
    fixed_rate,
    /// One period after the end of the previous run.
    fixed_delay,
  };

  /// Settings for the three-argument constructor. Later 2.x versions may
  /// append members; a binary built against an older header keeps working.
  struct Options {
    /// Workers are named "<thread_name>-<n>" (n = 0, 1, ...), cut to the
    /// 15 bytes Linux allows by shortening thread_name at a UTF-8 character
    /// boundary; empty: unnamed.
    std::string thread_name;
  };

  /// Counts since the pool was made (see stats()). Later 2.x versions may
  /// append members.
  ///
  /// The helper tasks that TaskGroup and parallel_for queue (each running
  /// many of their callables) are counted apart, in the helpers_ members,
  /// and in none of the others (nor in the times): a plain task counts once
  /// in submitted and then once in completed or removed.
  struct Stats {
    std::uint64_t submitted = 0;  ///< Accepted submissions (a series counts once).
    std::uint64_t completed = 0;  ///< Runs that ended, normally or by an exception.
    std::uint64_t failed = 0;     ///< Runs whose exception went to the handler or std::cerr.
    /// Tasks and series removed before they ran or ended, also by the
    /// destructor or close().
    std::uint64_t removed = 0;
    /// From due (submission or start time, a wall-clock start as the wall
    /// clock tells) to a worker taking it; a task run in place by a waiter
    /// waits until then, as if another worker took it.
    Duration total_queue_wait{};
    Duration max_queue_wait{};            ///< The longest of those waits.
    Duration total_run_time{};            ///< Time spent in runs, summed.
    Duration max_run_time{};              ///< The longest run.
    std::uint64_t helpers_submitted = 0;  ///< Helper tasks queued (since 2.2).
    std::uint64_t helpers_completed = 0;  ///< Helper runs that ended (since 2.2).
    std::uint64_t helpers_removed = 0;    ///< Helpers removed before they ran (since 2.2).
  };

  /// Receives the failures of tasks without a future: the task's id, its
  /// name, and the exception. It runs on the worker, with no lock held.
  using ExceptionHandler = std::function<void(TaskId, std::string_view name, std::exception_ptr)>;

  /// Starts one worker per hardware thread (at least one), for a queue with
  /// no limit of its own: its capacity is SIZE_MAX, so only memory limits it.
  ThreadPool() : ThreadPool(default_thread_count(), SIZE_MAX) {}

  /// Starts `num_threads` workers for a queue of at most `capacity` pending
  /// tasks.
  ///
  /// Throws vexo::Error "Illegal number of threads for thread pool: <n>" when
  /// num_threads is 0 or above 10000 (checked first), and
  /// "Illegal capacity for thread pool: 0" when capacity is 0; no worker is
  /// started then. If the system cannot start a worker, the workers already
  /// started are stopped and joined, and the std::system_error propagates.
  VEXO_API ThreadPool(std::size_t num_threads, std::size_t capacity);

  /// As the two-argument constructor, with the settings of `options`.
  ThreadPool(std::size_t num_threads, std::size_t capacity, const Options& options)
      : ThreadPool(num_threads, capacity, &options, sizeof(Options)) {}

  /// Destroys the pool:
  /// 1. Submissions are refused from now on (add_task() and submit() throw
  ///    vexo::Error "Cannot add task: the pool is being destroyed" (or, after
  ///    close(), "Cannot add task: the pool is closed"),
  ///    try_add_task() and add_task_wait() return empty), and waits return at
  ///    once.
  /// 2. The pending tasks are removed without running (their callables are
  ///    destroyed on this thread; a future of submit() gets broken_promise;
  ///    they count in Stats::removed), and recurring series start no further
  ///    run.
  /// 3. Every caller blocked in add_task_wait(), wait(), wait_for(),
  ///    wait_idle() or wait_idle_for() is woken (they return empty, false,
  ///    false, at once and false), and the destructor waits for each to leave.
  /// 4. Every running task that takes a std::stop_token is asked to stop.
  /// 5. The workers finish their running tasks and are joined.
  /// The pool's own running tasks may call members meanwhile, as above. A call
  /// from another thread that begins after the destructor began is undefined.
  /// Must not be called from a task of this pool.
  VEXO_API ~ThreadPool();

  ThreadPool(const ThreadPool&) = delete;
  ThreadPool& operator=(const ThreadPool&) = delete;
  ThreadPool(ThreadPool&&) = delete;
  ThreadPool& operator=(ThreadPool&&) = delete;

  /// Queues `fct` to run no earlier than `start_time`, and returns its id.
  /// The callable and the name are moved into the pool, which owns them until
  /// the task has run (or is removed, or the pool is destroyed). An empty
  /// callable is accepted; running it reports std::bad_function_call.
  ///
  /// Throws vexo::Error
  /// "Cannot add task: Pending queue has reached capacity (<capacity>)" when
  /// the queue is full, "Cannot add task: the pool is closed" after close(),
  /// and "Cannot add task: the pool is being destroyed" during destruction;
  /// the pool is unchanged then and no id is used.
  VEXO_API TaskId add_task(Task fct, TimePoint start_time, std::string name = {});

  /// Queues `fct` to run no earlier than the steady-clock time `start`, which
  /// setting the wall clock does not move. Otherwise as the TimePoint overload.
  VEXO_API TaskId add_task(Task fct, SteadyTimePoint start, std::string name = {});

  /// Queues `fct` to run once `delay` has passed from now on the wall clock,
  /// that is at system_clock::now() + delay (a delay of zero or less: due at
  /// once; a start beyond the representable range: never due before the pool
  /// is destroyed). Otherwise as the TimePoint overload.
  VEXO_API TaskId add_task(Task fct, Duration delay, std::string name = {});

  /// Queues `fct` to run as soon as a worker is free. Otherwise as the
  /// TimePoint overload.
  VEXO_API TaskId add_task(Task fct, std::string name = {});

  /// Does not compile: a name must be text (see IntegerOrNullPassedAsTaskName).
  template <typename F, typename T>
  TaskId add_task(F&&, T&&) requires detail::IntegerOrNullPassedAsTaskName<T>
  = delete;

  /// As add_task(fct, name), but returns an empty optional instead of
  /// throwing when the queue is full, the pool is closed (close()) or being
  /// destroyed. `fct` is
  /// moved from only when the task is queued: a caller that passes a Task
  /// keeps its callable on failure and may retry with it.
  VEXO_API std::optional<TaskId> try_add_task(Task&& fct, std::string name = {});

  /// As try_add_task(fct, name), but waits for room while the queue is full,
  /// at most `timeout` (steady clock); returns an empty optional if the queue
  /// is still full then, or once the pool is closed (close()) or being
  /// destroyed. A task or a removal that makes room wakes the caller. `fct`
  /// is moved from only on success.
  std::optional<TaskId> try_add_task_for(Task&& fct, Duration timeout, std::string name = {}) {
    return add_task_wait(std::move(fct), timeout, std::move(name));
  }
  /// The 2.0 name of try_add_task_for(), which it is.
  VEXO_API std::optional<TaskId> add_task_wait(Task&& fct, Duration timeout, std::string name = {});

  /// Queues `fct` to run with `name` and returns its id and the future of its
  /// result. F may return any type, may be move-only, and may take a
  /// std::stop_token. An exception thrown by the task goes into the future
  /// (not to the handler or std::cerr); a task removed before it ran (also by
  /// the destructor) leaves the future with std::future_error broken_promise.
  /// A full queue throws as add_task does, and nothing is queued. The only
  /// allocations are those of std::packaged_task (its shared state, which
  /// holds `fct`, and its result), plus the name if it is long.
  ///
  /// Throws vexo::Error "Cannot submit a null function pointer" for a null
  /// function pointer (an empty std::function is queued, and its future
  /// gets std::bad_function_call).
  ///
  /// Blocking on the future inside a task of the same pool is invisible to
  /// the pool: unlike wait(id), get() does not run the task in place, and
  /// waits for a free worker.
  template <class F>
  auto submit(F&& fct, std::string name = {})
      -> Submission<typename detail::SubmitResult<std::decay_t<F>>::type> {
    auto [task, future] = package(std::forward<F>(fct));
    const TaskId id = add_task(std::move(task), std::move(name));
    return {id, std::move(future)};
  }
  /// The same, to run no earlier than `start`.
  template <class F>
  auto submit(F&& fct, TimePoint start, std::string name = {})
      -> Submission<typename detail::SubmitResult<std::decay_t<F>>::type> {
    auto [task, future] = package(std::forward<F>(fct));
    const TaskId id = add_task(std::move(task), start, std::move(name));
    return {id, std::move(future)};
  }
  /// The same, to run no earlier than the steady-clock time `start`.
  template <class F>
  auto submit(F&& fct, SteadyTimePoint start, std::string name = {})
      -> Submission<typename detail::SubmitResult<std::decay_t<F>>::type> {
    auto [task, future] = package(std::forward<F>(fct));
    const TaskId id = add_task(std::move(task), start, std::move(name));
    return {id, std::move(future)};
  }
  /// The same, to run once `delay` has passed (as add_task with a Duration).
  template <class F>
  auto submit(F&& fct, Duration delay, std::string name = {})
      -> Submission<typename detail::SubmitResult<std::decay_t<F>>::type> {
    auto [task, future] = package(std::forward<F>(fct));
    const TaskId id = add_task(std::move(task), delay, std::move(name));
    return {id, std::move(future)};
  }
  /// Does not compile: a name must be text (see IntegerOrNullPassedAsTaskName).
  template <typename F, typename T>
  auto submit(F&&, T&&) requires detail::IntegerOrNullPassedAsTaskName<T>
  = delete;

  /// Queues a recurring series: `fct` runs first after `initial_delay` (zero
  /// or less: at once), then every `period` as `mode` says, measured on the
  /// steady clock, until the series is removed or stopped. Returns the one id
  /// of the whole series: it is pending between runs and running during a
  /// run. Runs never overlap; the next start always lies strictly after the
  /// end of the previous run, so a fixed-rate series that falls behind skips
  /// the starts it missed instead of running them in a burst. A run that
  /// throws is reported and the series goes on. The series counts as one
  /// pending task against the capacity, also during a run.
  /// remove_pending_task(id) ends it, also during a run (which finishes; no
  /// other starts); request_stop(id) does the same and also signals the token
  /// of a run in progress.
  ///
  /// Throws vexo::Error "Illegal period for recurring task: <n> ns" when
  /// period is zero or less, and as add_task when the queue is full.
  VEXO_API TaskId add_recurring(Task fct, Duration initial_delay, Duration period,
                                std::string name = {}, Recurrence mode = Recurrence::fixed_rate);

  /// Closes the pool for a drain-then-stop: submissions are refused from now
  /// on (add_task(), submit() and add_recurring() throw vexo::Error
  /// "Cannot add task: the pool is closed"; try_add_task() and
  /// try_add_task_for() return empty, and a caller waiting for room in
  /// try_add_task_for() is woken to return empty), also from the pool's own
  /// tasks. The pending tasks still run, the delayed ones at their start
  /// times; recurring series end (as by remove_pending_task(): a pending run
  /// is removed, a run in progress finishes). So wait_idle() returns once
  /// the queue has run out, and the pool never starts work again. Does not
  /// block. Calling it again does nothing. A TaskGroup or parallel_for on a
  /// closed pool runs its callables on the calling thread.
  VEXO_API void close();

  /// Blocks until no task is pending and none is running. Tasks due later,
  /// and recurring series, count as pending: with one of them queued this
  /// waits until it has run (or, for a series, until it is removed).
  /// Returns at once while the pool is being destroyed.
  /// Throws vexo::Error "Cannot wait for the pool to be idle from one of its
  /// own tasks" when called from a task of this pool, where it would never
  /// return.
  VEXO_API void wait_idle();
  /// As wait_idle(), at most `timeout`; returns false on timeout, and when the
  /// pool is being destroyed.
  VEXO_API bool wait_idle_for(Duration timeout);
  /// Blocks until the task `id` has finished or been removed (a series: until
  /// it was removed and its last run ended), and returns true; returns true at
  /// once for an id that is neither pending nor running. Returns false when
  /// the pool is being destroyed.
  ///
  /// Called from a task of this pool for a task that is pending and due (not
  /// a series), the calling worker runs that task itself, at once, instead of
  /// blocking: it is then finished exactly as if another worker had run it
  /// (reporting, statistics), and it counts as running, as does the waiting
  /// task, whose run time includes it. Waiting for a task that is not yet due,
  /// for a series, or for a running task blocks.
  ///
  /// Throws vexo::Error "Cannot wait for task <id> from inside that task" when
  /// a task waits for itself, or for a task that it is running through such a
  /// wait (a cycle that could never end).
  VEXO_API bool wait(TaskId id);
  /// As wait(id), at most `timeout`; returns false on timeout, and when the
  /// pool is being destroyed. A task run in place runs to its end, whatever
  /// the timeout.
  VEXO_API bool wait_for(TaskId id, Duration timeout);

  /// Asks the task or series `id` to stop, and returns true:
  /// - a pending task is removed (as remove_pending_task(id));
  /// - a running task that takes a std::stop_token sees its token signalled;
  /// - a series is ended: a run in progress sees its token signalled (if its
  ///   callable takes one), and no further run starts.
  /// Returns false for an id that is neither pending nor running, and for a
  /// running task that takes no token, which cannot be asked. Stop callbacks
  /// registered on the token run on the calling thread, with no lock held.
  VEXO_API bool request_stop(TaskId id);

  /// Sends the failures of tasks without a future to `handler` instead of
  /// std::cerr (an empty handler restores the default line). A handler that
  /// throws is reported by a line "Exception in exception handler for task
  /// "\<name\>": <what()>", and the pool goes on.
  VEXO_API void set_exception_handler(ExceptionHandler handler);

  /// Same as add_task(fct, name).
  TaskId add_work(Task fct, std::string name = {}) {
    return add_task(std::move(fct), std::move(name));
  }
  /// Does not compile: a name must be text (see IntegerOrNullPassedAsTaskName).
  template <typename F, typename T>
  TaskId add_work(F&&, T&&) requires detail::IntegerOrNullPassedAsTaskName<T>
  = delete;

  /// Returns the largest number of pending tasks, as given to the constructor.
  [[nodiscard]] VEXO_API std::size_t capacity() const noexcept;

  // The queries below each take the pool's lock once, so an answer is one
  // consistent snapshot; it may be stale as soon as it is returned. None of
  // them throws anything of its own (a listing may throw std::bad_alloc).

  /// Returns true when no task is pending (running tasks do not count).
  [[nodiscard]] VEXO_API bool is_empty() const;
  /// Returns true when the queue is full, i.e. when add_task would throw.
  /// Reads one atomic count, without the lock.
  [[nodiscard]] VEXO_API bool is_full() const;
  /// Returns true when no task is pending and none is running.
  [[nodiscard]] VEXO_API bool is_idle() const;
  /// Returns true when the task `task_id` is queued and not yet taken (a
  /// recurring series: between two runs).
  [[nodiscard]] VEXO_API bool is_pending(TaskId task_id) const;
  /// Returns true when the task `task_id` is running now.
  [[nodiscard]] VEXO_API bool is_running(TaskId task_id) const;
  /// Returns true when the task `task_id` is pending or running. A task that
  /// was submitted and has neither finished nor been removed always gives true.
  [[nodiscard]] VEXO_API bool is_pending_or_running(TaskId task_id) const;
  /// Returns the number of pending tasks.
  [[nodiscard]] VEXO_API std::size_t num_pending() const;
  /// Returns the number of workers. Takes no lock.
  [[nodiscard]] VEXO_API std::size_t num_threads() const noexcept;
  /// Returns the ids of the `max_count` pending tasks of lowest id, ascending.
  [[nodiscard]] VEXO_API tamu::SmallVector<TaskId, 16> get_pending_task_ids(
      std::size_t max_count = SIZE_MAX) const;
  /// Returns copies of the names of the same tasks, in the same order.
  [[nodiscard]] VEXO_API tamu::SmallVector<std::string, 8> get_pending_task_names(
      std::size_t max_count = SIZE_MAX) const;
  /// Returns the counts and times since the pool was made; they are kept
  /// without an allocation per task.
  [[nodiscard]] Stats stats() const {
    Stats s;
    stats_into(&s, sizeof s);
    return s;
  }
  /// Returns the ids of the running tasks, ascending. The caller owns the
  /// result.
  [[nodiscard]] VEXO_API tamu::SmallVector<TaskId, 16> get_running_task_ids() const;
  /// Returns copies of the names of the running tasks, in ascending order of
  /// their ids. The caller owns the result.
  [[nodiscard]] VEXO_API tamu::SmallVector<std::string, 8> get_running_task_names() const;

  /// Removes the pending task `task_id`, which then never runs, and returns
  /// true; returns false and changes nothing when no pending task has that id
  /// (it is running, finished, removed or was never issued). A series is
  /// ended, also during a run. The callable is destroyed on the calling
  /// thread after the pool's lock is released.
  VEXO_API bool remove_pending_task(TaskId task_id);

  /// Same as remove_pending_task(task_id).
  bool remove_pending_work(TaskId task_id) { return remove_pending_task(task_id); }

  /// Removes every pending task and ends every recurring series, and returns
  /// how many tasks and series that were. Running tasks go on. The callables
  /// are destroyed on the calling thread after the pool's lock is released.
  VEXO_API std::size_t remove_pending_tasks();

 private:
  /// The constructor behind the inline one with Options: `options` points to
  /// `options_size` bytes of an Options as the caller's header knows it.
  VEXO_API ThreadPool(std::size_t num_threads, std::size_t capacity, const Options* options,
                      std::size_t options_size);
  /// Copies the statistics into the first `size` bytes of *out (an older
  /// caller's smaller Stats gets the members it knows).
  VEXO_API void stats_into(Stats* out, std::size_t size) const;
  /// One per hardware thread, at least 1.
  VEXO_API static std::size_t default_thread_count() noexcept;

  template <class F>
  static auto package(F&& fct) {
    using D = std::decay_t<F>;
    using R = typename detail::SubmitResult<D>::type;
    if constexpr (std::is_pointer_v<D>) {
      // A packaged_task would call it; refuse before anything is queued.
      if (fct == nullptr) throw Error("Cannot submit a null function pointer");
    }
    if constexpr (std::is_invocable_v<D&, std::stop_token>) {
      std::packaged_task<R(std::stop_token)> task(std::forward<F>(fct));
      std::future<R> future = task.get_future();
      return std::pair<Task, std::future<R>>(Task(std::move(task)), std::move(future));
    } else {
      std::packaged_task<R()> task(std::forward<F>(fct));
      std::future<R> future = task.get_future();
      return std::pair<Task, std::future<R>>(Task(std::move(task)), std::move(future));
    }
  }

  friend struct detail::PoolAccess;
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vexo::util
