// The thread pool's scheduler: the one owner of the pool's lock and of everything it guards (the
// pending tasks, the running tasks, the recurring series, the capacity, the statistics), of the
// submission ring that due tasks enter without the lock, and of the wake-ups. Workers, waiters and
// submitters only call its members; it runs no user code under its lock and never runs a task
// itself (Run::execute is the caller's).
#pragma once

#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "forced_unwind.hpp"
#include "lookouts.hpp"
#include "parking.hpp"
#include "pending_store.hpp"
#include "places.hpp"
#include "submission_ring.hpp"
#include "vexo/util/ThreadPool.hpp"
#include "vexo/util/thread_annotations.hpp"
#include "wake_ledger.hpp"

namespace vexo::util::detail {

using TaskId = ThreadPool::TaskId;
using Duration = ThreadPool::Duration;
using Recurrence = ThreadPool::Recurrence;
using Stats = ThreadPool::Stats;

// The two clocks' times are kept apart by their types: a wall time is never
// compared with a steady one.
using WallTime = std::chrono::sys_time<std::chrono::nanoseconds>;
using SteadyTime = std::chrono::time_point<std::chrono::steady_clock, std::chrono::nanoseconds>;
inline constexpr SteadyTime kSteadyNever = SteadyTime::max();

inline WallTime wall_now() noexcept {
  return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
}
// The steady clock read straight from CLOCK_MONOTONIC (see monotonic_ns()).
inline SteadyTime steady_now() noexcept {
  return SteadyTime(std::chrono::nanoseconds(monotonic_ns()));
}
// now + d, saturated; a negative d counts as 0.
SteadyTime steady_after(Duration d) noexcept;

class Scheduler;

// One run of a task, from the moment a worker (or a waiter that runs a task
// in place) takes it until its end is recorded. The record's destructor
// records the end if nothing else did, also during a forced unwinding (a
// task's pthread_exit), so no way out of a run can skip the accounting.
// Owned by the thread that runs it; the scheduler reads and writes it only
// under its lock, while that thread is inside a scheduler call.
class Run {
 public:
  Run(Scheduler& scheduler, std::size_t worker) noexcept : scheduler_(scheduler), worker_(worker) {}
  ~Run() { end_if_active(); }
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;

  bool active() const noexcept { return active_; }
  // Records the end of the run if nothing did yet (a forced unwinding out of
  // the callable ends it now). A worker whose thread is being unwound calls
  // it before a replacement takes the same worker's place.
  void end_if_active() noexcept;
  TaskId id() const noexcept { return id_; }
  const std::string& name() const noexcept { return name_; }

  // Receives a run's failure, from inside the catch block: `what` is the
  // exception's what(), or "unknown exception".
  using Report = void (*)(void* context, const Run& run, const char* what);
  // Calls the task, catches what it throws (a forced unwinding goes on) and
  // hands the exception to `report`, and reads the end time.
  void execute(Report report, void* context);

 private:
  friend class Scheduler;
  Scheduler& scheduler_;
  const std::size_t worker_;
  bool active_ = false;  // taken, and its end not yet recorded
  bool series_ = false;
  bool helper_ = false;  // a TaskGroup's or parallel_for's: counted apart
  bool failed_ = false;
  TaskId id_ = 0;
  Task task_;
  std::string name_;                         // keeps its capacity from task to task
  std::stop_source stop_{std::nostopstate};  // the run's, if its callable takes a token
  std::stop_token token_;
  SteadyTime started_{};
  SteadyTime ended_{};
  bool in_call_ = false;  // inside the callable: a destructor that sees it is a forced unwinding
  std::uint64_t tickets_seen_ = 0;  // the ring's tail when this run was taken
};

class Scheduler {
 public:
  // What a submission does when the queue is full.
  enum class WhenFull { throw_error, give_up, wait };

  // A recurring series' settings, for add().
  struct SeriesSettings {
    Duration period;
    Recurrence mode;
  };

  // The submission ring's size: due tasks submitted faster than the workers
  // take them wait there, past it in the store.
  static constexpr std::size_t kRingSlots = 1024;

  // `ring_slots`: a power of two (smaller in tests, to reach a full ring).
  Scheduler(std::size_t workers, std::size_t capacity, std::size_t ring_slots = kRingSlots);

  std::size_t capacity() const noexcept { return capacity_; }

  // --- Submissions -----------------------------------------------------------

  // Queues a task (a series when `series` is given, whose first run is at
  // `start` on the steady clock), and returns its id. `fct` and `name` are
  // moved from only when the task is queued. A full queue throws
  // "Cannot add task: Pending queue has reached capacity (<capacity>)",
  // returns empty, or waits until `deadline`, as `when_full` says; a pool
  // being destroyed throws "Cannot add task: the pool is being destroyed" or
  // returns empty. A `helper` (a TaskGroup's or parallel_for's) counts in the
  // helpers' statistics instead of the tasks'.
  // A due plain task takes no lock while the pool has room: it takes its
  // place, claims its id in the submission ring and publishes itself there
  // (lock-free; it waits only while the ring is full, for the workers or, at
  // worst, for the lock to move the ring's tasks to the store). Everything
  // else, and a submission that finds the pool full, goes through the lock.
  // Whatever the task needs is allocated before its id is claimed, so ids
  // stay 0, 1, 2, ... over the successful submissions.
  // add() of a task due now that is not a series' run: the common
  // submission, which skips add()'s other cases while the pool has room.
  std::optional<TaskId> add_due(Task& fct, std::string& name, WhenFull when_full,
                                SteadyTime deadline, bool helper) {
    if (places_.take()) return post(fct, name, steady_now(), helper, when_full);
    return add(fct, name, StartClock::due, 0, when_full, deadline, nullptr, helper);
  }
  std::optional<TaskId> add(Task& fct, std::string& name, StartClock clock, std::int64_t start,
                            WhenFull when_full, SteadyTime deadline = {},
                            const SeriesSettings* series = nullptr, bool helper = false)
      VEXO_EXCLUDES(mutex_);

  // --- Workers -----------------------------------------------------------------

  // Records the end of `run` if it is active (a series' callable goes back to
  // the queue; any other callable moves to `spent`, for the caller to destroy
  // with no lock held), then takes the next due task into `run`, sleeping
  // while there is none. Returns false, with `run` inactive, once the workers
  // are to stop.
  // With `sleep` false, returns false instead of sleeping.
  bool next(Run& run, Task& spent, bool sleep = true) VEXO_EXCLUDES(mutex_);
  // Records the end of an active `run` (from its destructor).
  void end(Run& run) noexcept VEXO_EXCLUDES(mutex_);
  // Stops the workers: next() returns false from now on.
  void stop_workers() VEXO_EXCLUDES(mutex_);

  // --- Waits -----------------------------------------------------------------

  enum class WaitResult { done, timed_out, closing, run_in_place };
  // Waits until the task `id` has ended (every task, when `id` is empty), or
  // until `deadline`. Called from a worker of this pool for a pending, due
  // task that is not a series, takes that task into `help` instead and
  // returns run_in_place: the caller runs it, and its end is recorded when
  // `help` is destroyed. Throws vexo::Error for a task waiting for itself (or
  // a task below it in its worker's stack) and for wait_idle from a task.
  WaitResult wait(std::optional<TaskId> id, SteadyTime deadline, Run* help) VEXO_EXCLUDES(mutex_);
  // True when the calling thread is one of this pool's workers; sets *worker.
  bool on_worker(std::size_t* worker) const noexcept;
  // Marks the calling thread as worker `worker` of this pool.
  void enter_worker(std::size_t worker) noexcept;

  // --- Removal and stop ---------------------------------------------------------

  // Removes a pending task (ends a series, also during its run). The removed
  // callable moves to `removed`. Returns false when there is none.
  bool remove(TaskId id, Task& removed) VEXO_EXCLUDES(mutex_);
  // Removes every pending task and ends every series; returns the count.
  std::size_t remove_all(std::vector<Task>& removed) VEXO_EXCLUDES(mutex_);
  // As ThreadPool::request_stop(); a removed callable moves to `removed`.
  bool request_stop(TaskId id, Task& removed) VEXO_EXCLUDES(mutex_);
  // ThreadPool::close(): refuses submissions from now on and ends every
  // series (a pending run's callable moves to `removed`); the pending tasks
  // stay. Wakes callers waiting for room.
  void shut(std::vector<Task>& removed) VEXO_EXCLUDES(mutex_);
  // Refuses submissions from now on, removes every pending task into
  // `removed`, ends every series, wakes every blocked caller and waits until
  // each has left, and asks every running task to stop.
  void close(std::vector<Task>& removed) VEXO_EXCLUDES(mutex_);

  // --- Queries -----------------------------------------------------------------

  bool is_empty() const VEXO_EXCLUDES(mutex_);
  bool is_full() const VEXO_EXCLUDES(mutex_);
  bool is_idle() const VEXO_EXCLUDES(mutex_);
  bool is_pending(TaskId id) const VEXO_EXCLUDES(mutex_);
  bool is_running(TaskId id) const VEXO_EXCLUDES(mutex_);
  bool is_pending_or_running(TaskId id) const VEXO_EXCLUDES(mutex_);
  std::size_t num_pending() const VEXO_EXCLUDES(mutex_);
  Stats stats() const VEXO_EXCLUDES(mutex_);
  // Calls f(id, name) for the `max_count` pending tasks of lowest id,
  // ascending, under the lock.
  template <class F>
  void list_pending(std::size_t max_count, F&& f) const VEXO_EXCLUDES(mutex_);
  // Calls f(id, name) for every running task, ascending by id, under the lock.
  template <class F>
  void list_running(F&& f) const VEXO_EXCLUDES(mutex_);

  // Checks the invariants (for tests); false when one is broken.
  bool valid() const VEXO_EXCLUDES(mutex_);

  // --- TaskGroup and parallel_for helpers -------------------------------------

  // A hint for a helper between two members: true when an ordered task (one
  // that is not a helper) waits to be taken, so that the helper steps aside
  // for it. Such a task is live among the first few entries published at the
  // ring's front (spent entries and other helpers are passed over, so that
  // helpers never step aside for each other), or due in the store, or in the
  // store with a start time that has come: the clock is read only while a
  // task with a start time waits. Loads only, no lock and no write; it may
  // be stale, which costs at worst one step aside too many or one member too
  // late.
  bool ordered_due() const noexcept {
    const std::int64_t clear = store_clear_before_.load(std::memory_order_relaxed);
    if (clear == std::numeric_limits<std::int64_t>::min()) return true;
    if (ring_.live_near_front(kOrderedLookAhead,
                              [](std::uint8_t flags) { return (flags & kHelperFlag) == 0; })) {
      return true;
    }
    return clear != std::numeric_limits<std::int64_t>::max() &&
           clear <= steady_now().time_since_epoch().count();
  }

 private:
  class Lock;

  // What a worker is running: a stack, since a task that waits for a due
  // task runs it in place, on top of itself.
  struct RunningEntry {
    TaskId id;
    const std::string* name;  // the Run's, which outlives the entry
    bool series;
    const std::stop_source* stop;  // the Run's, which outlives the entry
  };
  // What one worker's runs add up to, summed by stats(); the ring's tasks it
  // took are counted as submitted here.
  struct RunTotals {
    std::uint64_t submitted = 0;
    std::uint64_t helpers_submitted = 0;
    std::uint64_t completed = 0;
    std::uint64_t failed = 0;
    std::uint64_t helpers_completed = 0;
    Duration total_queue_wait{};
    Duration max_queue_wait{};
    Duration total_run_time{};
    Duration max_run_time{};
    void add_to(Stats& s) const noexcept;
  };
  // The running tasks, one stack per worker, each with its worker's totals
  // and its own lock. A worker changes its own stack and totals either under
  // its own lock (its path past the pool's lock) or under the pool's lock;
  // whoever reads another worker's holds the pool's lock and a Snapshot,
  // which holds every worker's lock, so that a task taken past the pool's
  // lock is seen pending or running, never neither and never both.
  class RunningSet {
   public:
    // A worker's lock: held for a few dozen instructions by its worker (or
    // by a query), so a contender spins, and yields only if the holder was
    // preempted.
    class SpinLock {
     public:
      void lock() noexcept {
        for (int spins = 0; locked_.exchange(true, std::memory_order_acquire);) {
          while (locked_.load(std::memory_order_relaxed)) {
            if (++spins < 64) {
              spin_pause();
            } else {
              std::this_thread::yield();
            }
          }
        }
      }
      void unlock() noexcept { locked_.store(false, std::memory_order_release); }

     private:
      std::atomic<bool> locked_{false};
    };
    struct alignas(64) Worker {
      mutable SpinLock mutex;
      std::vector<RunningEntry> stack;
      RunTotals totals;
    };
    // Every worker's lock, taken in order (after the pool's).
    class Snapshot {
     public:
      explicit Snapshot(const RunningSet& set) : set_(set) {
        for (std::size_t w = 0; w < set_.count_; ++w) set_.workers_[w].mutex.lock();
      }
      ~Snapshot() {
        for (std::size_t w = set_.count_; w-- > 0;) set_.workers_[w].mutex.unlock();
      }
      Snapshot(const Snapshot&) = delete;
      Snapshot& operator=(const Snapshot&) = delete;

     private:
      const RunningSet& set_;
    };

    explicit RunningSet(std::size_t workers)
        : count_(workers), workers_(std::make_unique<Worker[]>(workers)) {
      for (std::size_t w = 0; w < count_; ++w) workers_[w].stack.reserve(4);
    }
    Worker& worker(std::size_t w) noexcept { return workers_[w]; }

    // --- The worker's own, by its thread --------------------------------------
    // Makes room for one more entry on `worker`'s stack, so that push()
    // cannot fail once a task has left the queue. Throws std::bad_alloc.
    void reserve_one(std::size_t worker) {
      auto& stack = workers_[worker].stack;
      if (stack.size() == stack.capacity()) stack.reserve(2 * stack.size());
    }
    void push(std::size_t worker, const RunningEntry& entry) noexcept {
      workers_[worker].stack.push_back(entry);  // reserved: does not throw
    }
    // Removes the entry of the run whose name is `name` (the Run's own
    // string, unique among live runs): normally the top of the stack, but
    // found by identity, so that no run can ever pop another's entry.
    void pop(std::size_t worker, const std::string* name) noexcept {
      auto& stack = workers_[worker].stack;
      if (!stack.empty() && stack.back().name == name) {
        stack.pop_back();
        return;
      }
      for (auto it = stack.end(); it != stack.begin();) {
        --it;
        if (it->name == name) {
          stack.erase(it);
          return;
        }
      }
    }
    bool on_stack(std::size_t worker, TaskId id) const noexcept;
    std::size_t depth(std::size_t worker) const noexcept { return workers_[worker].stack.size(); }

    // --- Every worker's, under a Snapshot -------------------------------------
    std::size_t size(const Snapshot&) const noexcept;
    const RunningEntry* find(TaskId id, const Snapshot&) const noexcept;
    template <class F>
    void for_each(F&& f, const Snapshot&) const {
      for (std::size_t w = 0; w < count_; ++w) {
        for (const RunningEntry& e : workers_[w].stack) f(e);
      }
    }
    void add_totals(Stats& s, const Snapshot&) const noexcept {
      for (std::size_t w = 0; w < count_; ++w) workers_[w].totals.add_to(s);
    }

   private:
    const std::size_t count_;
    const std::unique_ptr<Worker[]> workers_;
  };

  // A recurring series, beside its pending task in the store (or its run).
  struct Series {
    Duration period;  // > 0
    Recurrence mode;
    SteadyTime scheduled;   // start of the current or next run
    std::stop_source stop;  // nostopstate unless the callable takes a token
    bool running = false;
    bool ended = false;  // removed or stopped during a run
  };
  // The series by id; owns the count of those in a run, which keep their
  // place against the capacity.
  class SeriesTable {
   public:
    Series* find(TaskId id) noexcept {
      const auto it = map_.find(id);
      return it == map_.end() ? nullptr : &it->second;
    }
    // Allocates what add() needs, so that add() cannot fail. Throws
    // std::bad_alloc.
    void prepare(Series&& s) {
      map_.reserve(map_.size() + 1);
      if (spare_.empty()) {
        spare_ = map_.extract(map_.emplace(kSpareKey, std::move(s)).first);
      } else {
        spare_.mapped() = std::move(s);
      }
    }
    // Adds the series prepared last, as `id`.
    void add(TaskId id) noexcept {
      spare_.key() = id;
      map_.insert(std::move(spare_));  // room reserved: no rehash
    }
    void start_run(Series& s) noexcept {
      s.running = true;
      ++running_;
    }
    void end_run(Series& s) noexcept {
      s.running = false;
      --running_;
    }
    void erase(TaskId id) noexcept {
      const auto it = map_.find(id);
      if (it->second.running) --running_;
      map_.erase(it);
    }
    // Ends every series: those between runs are erased (their pending runs
    // are removed by the caller), those in a run marked ended. Returns the
    // number of series in a run that were not yet ended.
    std::size_t end_all() noexcept;
    std::size_t running() const noexcept { return running_; }
    std::size_t size() const noexcept { return map_.size(); }
    template <class F>
    void for_each(F&& f) const {
      for (const auto& [id, s] : map_) f(id, s);
    }

   private:
    static constexpr TaskId kSpareKey = ~TaskId{0};  // never an id
    std::unordered_map<TaskId, Series> map_;
    std::unordered_map<TaskId, Series>::node_type spare_;
    std::size_t running_ = 0;
  };

  // The store's flags of a recurring series and of a helper task (beside its
  // own kRenewSeq).
  static constexpr std::uint8_t kSeriesFlag = 1;
  static constexpr std::uint8_t kHelperFlag = 2;
  // How far past the ring's front ordered_due() looks: far enough to pass
  // a group's other helpers and the spent tickets of delayed submissions.
  static constexpr std::size_t kOrderedLookAhead = 4;

  // Who may submit: monotonic, open -> shut -> closing. Written under the
  // lock; read also by submitters that take none.
  enum class Admission : std::uint8_t { open, shut, closing };
  Admission admission() const noexcept { return admission_.load(std::memory_order_relaxed); }
  [[noreturn]] static void throw_refused(Admission a);

  // The lock-free submission of a due plain task (see add()).
  std::optional<TaskId> post(Task& fct, std::string& name, SteadyTime steady, bool helper,
                             WhenFull when_full) VEXO_EXCLUDES(mutex_);
  // Moves the ring's published tasks at its front to the store, so that its
  // slots can be claimed again. Returns false when no slot was freed (the
  // front is still being written). Throws std::bad_alloc; the task that did
  // not fit stays in the ring.
  bool drain_i() VEXO_REQUIRES(mutex_);
  // A task left the ring (taken, moved to the store, removed): it is counted
  // as submitted from now on, in `totals` (the pool's or a worker's), as a
  // ring task is counted by stats() until then.
  template <class Totals>
  static void left_ring(std::uint8_t flags, Totals& totals) noexcept {
    ++((flags & kHelperFlag) != 0 ? totals.helpers_submitted : totals.submitted);
  }
  bool in_ring_i(TaskId id) const VEXO_REQUIRES(mutex_) { return ring_.live(id); }
  bool pending_i(TaskId id) const VEXO_REQUIRES(mutex_) {
    return in_ring_i(id) || store_.contains(id);
  }
  bool empty_i() const VEXO_REQUIRES(mutex_) { return store_.empty() && !ring_.has_live(); }

  bool idle_i(const RunningSet::Snapshot& all) const VEXO_REQUIRES(mutex_) {
    return running_.size(all) == 0 && empty_i();
  }
  bool pending_or_running_i(TaskId id, const RunningSet::Snapshot& all) const
      VEXO_REQUIRES(mutex_) {
    return pending_i(id) || running_.find(id, all) != nullptr;
  }
  // The worker's path past the pool's lock, after a plain task's run (its
  // callable already destroyed) or none: records the end of the run and
  // takes the ring's front, when no task of the store can come before it.
  // Returns true when it took one; otherwise `run` is inactive, for the
  // locked path. Not for a series' run, nor once the workers stop.
  bool take_fast(Run& run) VEXO_EXCLUDES(mutex_);
  // Publishes, for take_fast(), from when the store may hold a due task that
  // comes before the ring's: called after every change to the store.
  void refresh_hint_i() VEXO_REQUIRES(mutex_);
  // The sequence number of a series' run that became due at `became_due`
  // (steady nanoseconds): behind every task submitted before then.
  PendingStore::Seq renewed_seq_i(std::int64_t became_due) VEXO_REQUIRES(mutex_);
  // Makes due the tasks whose start has come, by the clocks' current times
  // (the wall clock is read only when a wall start may have come).
  void promote_i(SteadyTime now) VEXO_REQUIRES(mutex_);
  // Takes the next due task into `run` (or the due task `id`), and records
  // it as running on the run's worker.
  bool take_i(Run& run, SteadyTime now) VEXO_REQUIRES(mutex_);
  bool take_id_i(Run& run, TaskId id, SteadyTime now) VEXO_REQUIRES(mutex_);
  void start_i(Run& run, TaskId id, std::uint8_t flags, std::int64_t ready, SteadyTime now)
      VEXO_REQUIRES(mutex_);
  // What every run's start and end record, under the worker's lock or the
  // pool's: the running record, the statistics, the place (not a series').
  void begin_run(Run& run, TaskId id, std::uint8_t flags, std::int64_t ready, SteadyTime now,
                 RunTotals& totals) noexcept;
  void end_run(Run& run, RunTotals& totals) noexcept;
  // After a run's end recorded past the pool's lock: wakes whoever waits for
  // a task's end or for room. Sequentially consistent, after the record's
  // change: a waiter counts itself (a read-modify-write) before it looks at
  // the record, under this worker's lock, so either it sees the change or
  // this sees it. Three loads while nobody waits.
  void ended_unlocked() {
    const bool done = id_waiters_.load(std::memory_order_seq_cst) > 0 ||
                      idle_waiters_.load(std::memory_order_seq_cst) > 0;
    const bool room = room_waiters_.load(std::memory_order_seq_cst) > 0;
    if (done || room) notify_waiters(done, room);
  }
  // Notifies the waits for ends (`done`) and for room, under the lock.
  void notify_waiters(bool done, bool room) VEXO_EXCLUDES(mutex_);
  // Records the end of `run`: statistics, the running record, the series.
  // `forced`: the run's thread is being unwound, and a series ends.
  void finish_i(Run& run, Task& spent, bool forced) VEXO_REQUIRES(mutex_);
  void requeue_i(Series& s, Run& run) VEXO_REQUIRES(mutex_);
  void sleep_i(Lock& lock) VEXO_REQUIRES(mutex_);
  // Spins for a while with the lock released, watching for a submission;
  // returns true if one came (the caller looks at the queue again).
  bool spin_i(Lock& lock) VEXO_REQUIRES(mutex_);
  // Claims the wake-up of a sleeping worker, unless a worker spins (it will
  // see the work) or every sleeper is already being woken. Returns true when
  // the caller must call wake_one(), which it may do after unlocking. Needs no
  // lock: the work must be visible before the call (published, or queued
  // under the lock).
  bool claim_wake() noexcept {
    if (spinning_.load(std::memory_order_seq_cst) > 0 || !ledger_.claim()) return false;
    parked_.bump();
    return true;
  }
  void wake_one() noexcept { parked_.wake(1); }
  // After a task was published in the ring: hands the wake-up to a worker
  // that is looking for its next task, or else wakes a sleeper, unless one is
  // already being woken (that one passes a wake-up on once it has taken its
  // task, if the ring still holds one). No lock.
  void wake_for_ring() noexcept {
    if (!ledger_.any_unwoken() || lookouts_.hand_over() || !ledger_.claim(true)) return;
    parked_.bump();
    wake_one();
  }
  // Worker `worker` ends a look in which it took a task: passes on a wake-up
  // that was left to it (or that woke it, `owed`) if the ring still holds a
  // task. No lock.
  void end_look(std::size_t worker, bool owed = false) noexcept {
    if ((lookouts_.end(worker) || owed) && ring_.front_published()) wake_for_ring();
  }
  // When an idle worker must look at the queue again: the earliest start
  // time, or 100 ms while a task with a wall-clock start is pending.
  SteadyTime next_start_i() const VEXO_REQUIRES(mutex_);
  // Counts tasks or series removed (`helpers` of them helpers), and wakes
  // whoever waits for room or ends.
  void removed_i(std::size_t count, std::size_t helpers = 0) VEXO_REQUIRES(mutex_);
  static std::size_t helpers_in(const std::vector<PendingTask>& tasks) noexcept;
  // A task ended or was removed: wake the waits that may be over.
  void ended_i() VEXO_REQUIRES(mutex_) {
    if (id_waiters_.load(std::memory_order_seq_cst) > 0 ||
        idle_waiters_.load(std::memory_order_seq_cst) > 0) {
      done_cv_.notify_all();
    }
  }
  void room_made_i() VEXO_REQUIRES(mutex_) {
    if (room_waiters_.load(std::memory_order_seq_cst) > 0) room_cv_.notify_all();
  }
  // Blocks on `cv` until notified or `deadline`, counted as a blocked caller
  // whom close() waits for. Returns false when the pool is closing. The
  // caller counts itself among the waiters for `cv` before it looks at what
  // it waits for, so that an end recorded past the lock sees it.
  bool block_i(Lock& lock, std::condition_variable& cv, SteadyTime deadline) VEXO_REQUIRES(mutex_);
  [[noreturn]] void throw_full() const VEXO_REQUIRES(mutex_);
  bool remove_i(TaskId id, Task& removed) VEXO_REQUIRES(mutex_);
  void clear_i(std::vector<PendingTask>& discarded) VEXO_REQUIRES(mutex_);

  const std::size_t capacity_;
  mutable detail::Mutex mutex_;
  /// Due tasks submitted without the lock, and every id.
  SubmissionRing ring_;
  /// The capacity's places, taken by submissions, given back by the lock's holder.
  Places places_;
  /// Idle workers sleep on this; the ledger says when to wake one.
  ParkingWord parked_;
  WakeLedger ledger_;
  /// Workers between two tasks, to whom a submission leaves its wake-up.
  Lookouts lookouts_;
  /// Workers spinning between two tasks: a submission wakes no sleeper then.
  std::atomic<std::uint32_t> spinning_{0};
  std::atomic<Admission> admission_{Admission::open};
  /// Waits sleep on this; notified when a task ends or is removed, if anyone waits.
  std::condition_variable done_cv_;
  /// add_task_wait() sleeps on this; notified when a pending task leaves.
  std::condition_variable room_cv_;
  /// close() sleeps on this until the last blocked caller has left.
  std::condition_variable closed_cv_;
  /// Callers of wait(id), and of wait(idle), who may sleep on done_cv_, and
  /// of a submission that may sleep on room_cv_: changed under the lock, read
  /// also by workers past it (sequentially consistent, against their
  /// records' changes).
  std::atomic<std::size_t> id_waiters_{0};
  std::atomic<std::size_t> idle_waiters_{0};
  std::atomic<std::size_t> room_waiters_{0};
  /// take_fast() takes the ring's front only if it was submitted before this
  /// steady time (ns): no task of the store is or becomes due before it.
  std::atomic<std::int64_t> store_clear_before_{std::numeric_limits<std::int64_t>::max()};
  /// stopping_, for take_fast().
  std::atomic<bool> stopped_{false};
  /// Callers inside a blocking wait, for close().
  std::size_t blocked_ VEXO_GUARDED_BY(mutex_) = 0;
  /// Submitters from outside the pool that wait for room in a full ring,
  /// counted from before their wait until post() returns, for close().
  std::atomic<std::size_t> ring_waiters_{0};
  /// Set by stop_workers(): next() returns false.
  bool stopping_ VEXO_GUARDED_BY(mutex_) = false;
  PendingStore store_ VEXO_GUARDED_BY(mutex_);
  SeriesTable series_ VEXO_GUARDED_BY(mutex_);
  /// Each worker's stack under its own lock, and the pool's (see RunningSet).
  RunningSet running_;
  /// Series runs made due since the last id was issued, for their order.
  TaskId renewed_for_id_ VEXO_GUARDED_BY(mutex_) = 0;
  std::uint64_t renewed_count_ VEXO_GUARDED_BY(mutex_) = 0;
  /// Steady time from which a busy worker reads the wall clock again.
  SteadyTime next_wall_check_ VEXO_GUARDED_BY(mutex_) = SteadyTime::min();
  Stats stats_ VEXO_GUARDED_BY(mutex_);
};

// --- Inline members ----------------------------------------------------------

class VEXO_SCOPED_CAPABILITY Scheduler::Lock {
 public:
  explicit Lock(detail::Mutex& mutex) VEXO_ACQUIRE(mutex) : mutex_(mutex) { acquire(); }
  ~Lock() VEXO_RELEASE() {
    if (locked_) mutex_.unlock();
  }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;
  void lock() VEXO_ACQUIRE() {
    acquire();
    locked_ = true;
  }
  void unlock() VEXO_RELEASE() {
    mutex_.unlock();
    locked_ = false;
  }
  // Waits for a notification or `deadline`; the mutex is released meanwhile
  // and held again on return. Spurious wake-ups are harmless: every caller
  // looks at the state again after waiting.
  // Runs f() with the mutex released, and holds it again on return. (Through
  // the std::mutex, as wait_until does: the analysis sees the lock held
  // throughout, which is what the caller may rely on.)
  template <class F>
  void while_released(F&& f) {
    mutex_.native().unlock();
    f();
    mutex_.native().lock();
  }
  void wait_until(std::condition_variable& cv, SteadyTime deadline) {
    std::unique_lock<std::mutex> native(mutex_.native(), std::adopt_lock);
    if (deadline == kSteadyNever) {
      cv.wait(native);  // NOLINT(bugprone-spuriously-wake-up-functions)
    } else {
      cv.wait_until(native, deadline);  // NOLINT(bugprone-spuriously-wake-up-functions)
    }
    native.release();
  }

 private:
  // Tries for a few microseconds before it blocks: the pool's lock is held
  // for short stretches (a take, a submission, a move of the ring), and a
  // thread that blocks on it costs two context switches. Between two tries
  // it leaves the lock's cache line alone.
  void acquire() VEXO_THREAD_ANNOTATION(no_thread_safety_analysis) {
    constexpr int kTries = 32, kPauses = 8;
    for (int i = 0; i < kTries; ++i) {
      if (mutex_.native().try_lock()) return;
      for (int p = 0; p < kPauses; ++p) spin_pause();
    }
    mutex_.lock();
  }
  detail::Mutex& mutex_;
  bool locked_ = true;
};

template <class F>
void Scheduler::list_pending(std::size_t max_count, F&& f) const {
  Lock lock(mutex_);
  const RunningSet::Snapshot all(running_);  // no worker takes a ring task meanwhile
  // The lowest ids of the store and of the ring, merged.
  std::vector<std::pair<TaskId, const std::string*>> found;
  store_.list(max_count,
              [&found](TaskId id, const std::string& name) { found.emplace_back(id, &name); });
  const std::size_t from_store = found.size();
  ring_.for_each_live([&](std::uint64_t id) {
    found.emplace_back(id, &ring_.entry(id).name);
    return found.size() - from_store < max_count;
  });
  const auto by_id = [](const auto& a, const auto& b) { return a.first < b.first; };
  std::inplace_merge(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(from_store),
                     found.end(), by_id);
  if (found.size() > max_count) found.resize(max_count);
  for (const auto& [id, name] : found) f(id, *name);
}

template <class F>
void Scheduler::list_running(F&& f) const {
  Lock lock(mutex_);
  const RunningSet::Snapshot all(running_);
  std::vector<const RunningEntry*> entries;
  entries.reserve(running_.size(all));
  running_.for_each([&entries](const RunningEntry& e) { entries.push_back(&e); }, all);
  std::sort(entries.begin(), entries.end(),
            [](const RunningEntry* a, const RunningEntry* b) { return a->id < b->id; });
  for (const RunningEntry* e : entries) f(e->id, *e->name);
}

}  // namespace vexo::util::detail
