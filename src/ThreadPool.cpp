#include "vexo/util/ThreadPool.hpp"

#include <cxxabi.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <iostream>
#include <limits>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <vector>

#include "pending_store.hpp"
#include "tamu/cat.hpp"
#include "vexo/util/thread_annotations.hpp"

namespace vexo::util {

namespace {

using detail::PendingStore;
using detail::PendingTask;
using detail::StartClock;
using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using SteadyClock = std::chrono::steady_clock;

// While a task with a wall-clock start time is pending, idle workers re-read
// the wall clock at least this often, so that such a task still starts in
// time after the clock was set forward.
constexpr nanoseconds kMaxWallWait = milliseconds(100);

// Workers that go from task to task read the wall clock at least this often
// while a task with a wall-clock start is pending.
constexpr nanoseconds kBusyWallCheck = milliseconds(1);

constexpr std::size_t kMaxThreads = 10000;

// glibc's forced unwinding (pthread_exit) throws no object, so catching
// abi::__forced_unwind by reference, as glibc asks, binds a reference to
// null; UBSan's null check would call that an error.
#define VEXO_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null")))
constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMinTime = std::numeric_limits<std::int64_t>::min();

// The store's flag of a recurring series.
constexpr std::uint8_t kSeriesFlag = 1;

std::int64_t wall_now_ns() noexcept {
  return std::chrono::time_point_cast<nanoseconds>(std::chrono::system_clock::now())
      .time_since_epoch()
      .count();
}
std::int64_t steady_now_ns() noexcept {
  return std::chrono::duration_cast<nanoseconds>(SteadyClock::now().time_since_epoch()).count();
}

// a - b, saturated to the range of int64.
std::int64_t sub_sat(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) {
    return b < 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
  }
  return r;
}
// a * b for b > 0, saturated to the range of int64.
std::int64_t mul_sat(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t r;
  if (__builtin_mul_overflow(a, b, &r)) {
    return a > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
  }
  return r;
}
// a + b, saturated to the range of int64.
std::int64_t add_sat(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r)) {
    return b > 0 ? std::numeric_limits<std::int64_t>::max()
                 : std::numeric_limits<std::int64_t>::min();
  }
  return r;
}

// Holds the pool's mutex for a scope; unlock()/lock() let a worker release it
// in between, and wait() sleeps on a condition variable with it.
class VEXO_SCOPED_CAPABILITY Lock {
 public:
  explicit Lock(detail::Mutex& mutex) VEXO_ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
  ~Lock() VEXO_RELEASE() {
    if (locked_) mutex_.unlock();
  }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

  void lock() VEXO_ACQUIRE() {
    mutex_.lock();
    locked_ = true;
  }
  void unlock() VEXO_RELEASE() {
    mutex_.unlock();
    locked_ = false;
  }

  // Waits for a notification, or until the steady time `deadline_ns`
  // (forever when it is the largest int64); the mutex is released meanwhile
  // and held again on return. Spurious wake-ups are harmless: every caller
  // looks at the state again after waiting.
  void wait_until(std::condition_variable& cv, std::int64_t deadline_ns) {
    std::unique_lock<std::mutex> native(mutex_.native(), std::adopt_lock);
    if (deadline_ns == std::numeric_limits<std::int64_t>::max()) {
      cv.wait(native);  // NOLINT(bugprone-spuriously-wake-up-functions)
    } else {
      cv.wait_until(native, SteadyClock::time_point(nanoseconds(deadline_ns)));  // NOLINT
    }
    native.release();
  }

 private:
  detail::Mutex& mutex_;
  bool locked_ = true;
};

// --- Diagnostics, written without allocating ------------------------------

// Serialises the diagnostic lines of all pools, so that two workers' lines
// never interleave.
std::mutex& diagnostic_mutex() {
  static std::mutex mutex;
  return mutex;
}

// Gathers one line in a fixed buffer and writes it to std::cerr in as few
// pieces as it takes; nothing here allocates (unless std::cerr was given a
// buffer that does, in which case a failure falls back to file descriptor 2).
class LineWriter {
 public:
  LineWriter& operator<<(const char* text) {
    append(text, std::strlen(text));
    return *this;
  }
  LineWriter& operator<<(const std::string& text) {
    append(text.data(), text.size());
    return *this;
  }
  void finish() noexcept {
    append("\n", 1);
    flush();
  }

 private:
  void append(const char* text, std::size_t n) noexcept {
    while (n > 0) {
      if (used_ == sizeof buffer_) flush();
      const std::size_t k = std::min(n, sizeof buffer_ - used_);
      std::memcpy(buffer_ + used_, text, k);
      used_ += k;
      text += k;
      n -= k;
    }
  }
  void flush() noexcept {
    try {
      std::cerr.write(buffer_, static_cast<std::streamsize>(used_));
      std::cerr.flush();
    } catch (...) {
      std::size_t done = 0;
      while (done < used_) {
        const ssize_t w = ::write(STDERR_FILENO, buffer_ + done, used_ - done);
        if (w <= 0) break;
        done += static_cast<std::size_t>(w);
      }
    }
    used_ = 0;
  }

  char buffer_[1024];
  std::size_t used_ = 0;
};

void report_line(const char* prefix, const std::string& name, const char* what) noexcept {
  std::lock_guard<std::mutex> guard(diagnostic_mutex());
  LineWriter line;
  line << prefix << "\"" << name << "\": " << (what != nullptr ? what : "<null what()>");
  line.finish();
}

// Workers leave these signals to the process's other threads.
void block_signals() noexcept {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGALRM, SIGINT, SIGPIPE, SIGTERM, SIGURG, SIGUSR1, SIGUSR2})
    sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

// --- The wake-up ledger ----------------------------------------------------

// Idle workers and the wake-ups sent to them. Rules:
// - A worker counts itself idle while it sleeps on the work condition.
// - Whoever makes work available claims a wake-up first, and notifies one
//   worker only if the claim succeeds: at most one wake-up in flight per idle
//   worker, so that none is wasted on a worker that is already woken.
// - A worker that wakes (notified, timed out or spuriously) settles one
//   wake-up in flight, if any.
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

}  // namespace

// --- The implementation -----------------------------------------------------

struct ThreadPool::Impl {
  // What a worker is running, in the slot of that worker.
  struct Running {
    bool active = false;
    bool series = false;
    TaskId id = 0;
    std::string name;  // keeps its capacity between tasks
  };

  // A task taken by a worker: it stays here after its run until the next
  // task replaces it (or the worker goes idle), so that the callable and name
  // are destroyed with no lock held and the worker needs the lock only once
  // between two tasks.
  struct Job {
    PendingTask task;
    TaskId id = 0;
    std::int64_t started = 0;  // steady ns
    std::int64_t ended = 0;    // steady ns
    bool holds_task = false;   // task holds a callable or name still to destroy
    bool ran = false;          // finish_i() has not yet recorded the run
    bool failed = false;
  };

  // A recurring series, beside its pending task in the store (or its run).
  struct Series {
    std::int64_t period;  // steady ns, > 0
    Recurrence mode;
    std::int64_t scheduled;  // steady start of the current or next run
    bool running = false;
    bool ended = false;  // removed during a run
  };

  // What a submission does when the queue is full.
  enum class WhenFull { throw_error, give_up, wait };

  Impl(std::size_t workers, std::size_t cap, std::string name)
      : capacity(cap), num_threads(workers), thread_name(std::move(name)) {}

  void start_workers();
  void stop_workers() noexcept VEXO_EXCLUDES(mutex);
  void worker_main(std::size_t worker);
  void perform_work(std::size_t worker) VEXO_EXCLUDES(mutex);
  void on_forced_exit(std::size_t worker) noexcept VEXO_EXCLUDES(mutex);
  void name_thread(std::size_t worker) const noexcept;

  std::optional<TaskId> add(PendingTask&& task, StartClock clock, std::int64_t start,
                            WhenFull when_full, std::int64_t wait_deadline = 0,
                            const Series* series = nullptr) VEXO_EXCLUDES(mutex);
  TaskId add_or_throw(std::function<void()>&& fct, StartClock clock, std::int64_t start,
                      std::string&& name) VEXO_EXCLUDES(mutex) {
    return *add(PendingTask{std::move(fct), std::move(name), 0}, clock, start,
                WhenFull::throw_error);
  }
  bool full_i() const VEXO_REQUIRES(mutex) { return store.size() + running_series >= capacity; }
  [[noreturn]] void throw_full() const VEXO_REQUIRES(mutex);

  bool take_i(std::size_t worker, PendingTask& next, std::int64_t steady_now) VEXO_REQUIRES(mutex);
  void finish_i(std::size_t worker, Job& job) VEXO_REQUIRES(mutex);
  void requeue_i(Series& series, Job& job) VEXO_REQUIRES(mutex);
  void sleep_i(Lock& lock) VEXO_REQUIRES(mutex);
  void run(Job& job) VEXO_EXCLUDES(mutex);
  void report(const Job& job, const char* what) VEXO_EXCLUDES(mutex);
  void task_ended_i() VEXO_REQUIRES(mutex) {
    if (done_waiters > 0) done_cv.notify_all();
  }
  void room_made_i() VEXO_REQUIRES(mutex) {
    if (room_waiters > 0) room_cv.notify_all();
  }
  // Waits on done_cv until the task `id` (every task, when `id` is empty)
  // has ended, or the steady deadline passes.
  bool wait_done(std::optional<TaskId> id, std::int64_t deadline) VEXO_EXCLUDES(mutex);
  // True when the calling thread is a worker of this pool running `id`
  // (any task when `id` is empty).
  bool called_from_task_i(std::optional<TaskId> id) const VEXO_REQUIRES(mutex);

  bool is_running_i(TaskId id) const VEXO_REQUIRES(mutex) {
    return std::any_of(running.begin(), running.end(),
                       [id](const Running& r) { return r.active && r.id == id; });
  }
  bool is_idle_i() const VEXO_REQUIRES(mutex) { return store.empty() && num_running == 0; }

  const std::size_t capacity;
  const std::size_t num_threads;
  const std::string thread_name;

  mutable detail::Mutex mutex;
  /// Idle workers sleep on this; the ledger says when to notify it.
  std::condition_variable work_cv;
  /// wait(), wait_idle() and their timed forms sleep on this; notified when
  /// a task ends or is removed, if anyone waits.
  std::condition_variable done_cv;
  /// add_task_wait() sleeps on this; notified when a pending task leaves.
  std::condition_variable room_cv;
  std::size_t done_waiters VEXO_GUARDED_BY(mutex) = 0;
  std::size_t room_waiters VEXO_GUARDED_BY(mutex) = 0;
  /// Set once, by the destructor (or a failed constructor); workers stop when
  /// they see it.
  bool cancel_requested VEXO_GUARDED_BY(mutex) = false;
  PendingStore store VEXO_GUARDED_BY(mutex);
  WakeLedger ledger VEXO_GUARDED_BY(mutex);
  /// Recurring series by id, pending or running.
  std::unordered_map<TaskId, Series> series VEXO_GUARDED_BY(mutex);
  /// Series in a run: they keep their place against the capacity.
  std::size_t running_series VEXO_GUARDED_BY(mutex) = 0;
  /// One slot per worker: the task it is running, if any.
  std::vector<Running> running VEXO_GUARDED_BY(mutex);
  /// Number of active slots in `running`.
  std::size_t num_running VEXO_GUARDED_BY(mutex) = 0;
  /// Steady time from which take_i() reads the wall clock again.
  std::int64_t next_wall_check VEXO_GUARDED_BY(mutex) = kMinTime;
  /// Id of the next successful submission.
  TaskId next_id VEXO_GUARDED_BY(mutex) = 0;
  Stats stats VEXO_GUARDED_BY(mutex);
  /// One thread per worker. Filled by start_workers(); a worker that ends by
  /// forced unwinding moves its own thread to `retired` and starts another.
  std::vector<std::thread> threads VEXO_GUARDED_BY(mutex);
  std::vector<std::thread> retired VEXO_GUARDED_BY(mutex);

  /// The failure handler; its own mutex keeps it off the pool's lock.
  std::mutex handler_mutex;
  std::shared_ptr<const ExceptionHandler> handler;  // guarded by handler_mutex
};

namespace {
// The pool and worker slot of the calling thread, if it is a worker.
thread_local const void* t_pool = nullptr;
thread_local std::size_t t_worker = 0;
}  // namespace

void ThreadPool::Impl::start_workers() {
  {
    Lock lock(mutex);
    running.resize(num_threads);
    threads.reserve(num_threads);
  }
  try {
    for (std::size_t i = 0; i < num_threads; ++i) {
      std::thread t([this, i] { worker_main(i); });
      Lock lock(mutex);
      threads.push_back(std::move(t));  // reserved: does not throw
    }
  } catch (...) {
    stop_workers();
    throw;
  }
}

void ThreadPool::Impl::stop_workers() noexcept {
  {
    Lock lock(mutex);
    cancel_requested = true;
  }
  work_cv.notify_all();
  // No worker replaces itself once cancel_requested is set, so the lists
  // are final now.
  std::vector<std::thread> all;
  {
    Lock lock(mutex);
    all.swap(threads);
    for (std::thread& t : retired) all.push_back(std::move(t));
    retired.clear();
  }
  for (std::thread& thread : all) {
    if (thread.joinable()) thread.join();
  }
}

void ThreadPool::Impl::name_thread(std::size_t worker) const noexcept {
  if (thread_name.empty()) return;
  char suffix[24];
  const int n = std::snprintf(suffix, sizeof suffix, "-%zu", worker);
  char name[16];
  const std::size_t keep =
      std::min(thread_name.size(), sizeof name - 1 - static_cast<std::size_t>(n));
  std::memcpy(name, thread_name.data(), keep);
  std::memcpy(name + keep, suffix, static_cast<std::size_t>(n) + 1);
  pthread_setname_np(pthread_self(), name);
}

VEXO_CATCHES_FORCED_UNWIND void ThreadPool::Impl::worker_main(std::size_t worker) {
  block_signals();
  name_thread(worker);
  t_pool = this;
  t_worker = worker;
  try {
    perform_work(worker);
  } catch (abi::__forced_unwind&) {
    on_forced_exit(worker);
    throw;
  }
}

// A task ended its thread: the worker's job and lock are gone already.
void ThreadPool::Impl::on_forced_exit(std::size_t worker) noexcept {
  Lock lock(mutex);
  Running& slot = running[worker];
  if (slot.active) {
    slot.active = false;
    --num_running;
    ++stats.completed;
    if (slot.series) {  // the callable went with the thread: the series ends
      series.erase(slot.id);
      --running_series;
      room_made_i();
    }
    task_ended_i();
  }
  if (cancel_requested) return;
  // Start a worker in this one's place; if that fails, the pool goes on with
  // one worker fewer.
  try {
    retired.reserve(retired.size() + 1);
    std::thread replacement([this, worker] { worker_main(worker); });
    const auto self = std::find_if(threads.begin(), threads.end(), [](const std::thread& t) {
      return t.get_id() == std::this_thread::get_id();
    });
    if (self != threads.end()) {
      retired.push_back(std::move(*self));
      *self = std::move(replacement);
    } else {
      // Not listed yet (the constructor is still starting workers): the
      // constructor lists this thread, the replacement is joined from here.
      retired.push_back(std::move(replacement));
    }
  } catch (...) {  // NOLINT(bugprone-empty-catch): one worker fewer
  }
}

// Reports a failure to the handler, or writes the default line.
VEXO_CATCHES_FORCED_UNWIND void ThreadPool::Impl::report(const Job& job, const char* what) {
  std::shared_ptr<const ExceptionHandler> h;
  {
    std::lock_guard<std::mutex> guard(handler_mutex);
    h = handler;
  }
  if (!h) {
    report_line("Exception in task ", job.task.name, what);
    return;
  }
  try {
    (*h)(job.id, job.task.name, std::current_exception());
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::exception& e) {
    report_line("Exception in exception handler for task ", job.task.name, e.what());
  } catch (...) {
    report_line("Exception in exception handler for task ", job.task.name, "unknown exception");
  }
}

VEXO_CATCHES_FORCED_UNWIND void ThreadPool::Impl::run(Job& job) {
  job.failed = false;
  try {
    job.task.fct();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::exception& e) {
    job.failed = true;
    report(job, e.what());
  } catch (...) {
    job.failed = true;
    report(job, "unknown exception");
  }
  job.ended = steady_now_ns();
}

void ThreadPool::Impl::perform_work(std::size_t worker) {
  Job job;
  PendingTask next;
  Lock lock(mutex);
  for (;;) {
    std::int64_t now;
    if (job.ran) {
      finish_i(worker, job);
      now = job.ended;
    } else {
      now = steady_now_ns();
    }
    if (cancel_requested) break;
    if (!take_i(worker, next, now)) {
      if (job.holds_task) {
        // Destroy the last task's callable before sleeping, without the lock.
        lock.unlock();
        job.task = PendingTask();
        job.holds_task = false;
        lock.lock();
        continue;
      }
      sleep_i(lock);
      continue;
    }
    // More work may be due: pass the wake-up on, so that a burst of
    // submissions gets every idle worker going without the submitter waking
    // more workers than there are tasks.
    const bool wake_another = store.has_due() && ledger.claim();
    job.id = running[worker].id;
    job.started = now;
    lock.unlock();
    if (wake_another) work_cv.notify_one();
    job.task = std::move(next);  // destroys the previous task's callable and name
    job.holds_task = true;
    run(job);
    job.ran = true;
    lock.lock();
  }
  lock.unlock();
  // The last callable is destroyed here, after the task has left the running
  // record, with no lock held.
}

// Takes the next due task into `next` and records it as running on `worker`.
bool ThreadPool::Impl::take_i(std::size_t worker, PendingTask& next, std::int64_t steady_now) {
  // A busy worker reads the wall clock only when a wall-clock start may have
  // come, judged by the steady clock, and at least every kBusyWallCheck.
  std::int64_t wall_now = kMinTime;
  if (store.has_waiting(StartClock::wall) && steady_now >= next_wall_check) {
    wall_now = wall_now_ns();
    const std::int64_t until = sub_sat(store.earliest(StartClock::wall), wall_now);
    next_wall_check = steady_now + std::clamp<std::int64_t>(until, 0, kBusyWallCheck.count());
  }
  if (wall_now != kMinTime || store.has_waiting(StartClock::steady)) {
    store.promote(wall_now, steady_now);
  }
  if (!store.has_due()) return false;
  std::int64_t ready = 0;
  const TaskId id = store.take(&next, &ready);
  const std::int64_t wait = std::max<std::int64_t>(0, steady_now - ready);
  stats.total_queue_wait += Duration(wait);
  stats.max_queue_wait = std::max(stats.max_queue_wait, Duration(wait));
  Running& slot = running[worker];
  slot.active = true;
  slot.series = (next.flags & kSeriesFlag) != 0;
  slot.id = id;
  slot.name.assign(next.name);
  ++num_running;
  if (slot.series) {
    Series& s = series.at(id);
    s.running = true;
    s.scheduled = ready;
    ++running_series;
  }
  room_made_i();
  return true;
}

void ThreadPool::Impl::finish_i(std::size_t worker, Job& job) {
  Running& slot = running[worker];
  slot.active = false;
  --num_running;
  job.ran = false;
  const Duration run_time(std::max<std::int64_t>(0, job.ended - job.started));
  stats.total_run_time += run_time;
  stats.max_run_time = std::max(stats.max_run_time, run_time);
  ++stats.completed;
  if (job.failed) ++stats.failed;
  if (slot.series) {
    --running_series;
    const auto it = series.find(job.id);
    if (it->second.ended) {
      series.erase(it);  // the callable is destroyed later, without the lock
      room_made_i();
    } else {
      requeue_i(it->second, job);
    }
  }
  task_ended_i();
}

// Queues the next run of a series; its callable and name go back to the store.
void ThreadPool::Impl::requeue_i(Series& s, Job& job) {
  s.running = false;
  std::int64_t next;
  if (s.mode == Recurrence::fixed_delay) {
    next = add_sat(job.ended, s.period);
  } else {
    // The next start on the grid first + k period that has not passed: a
    // late run skips the starts it missed.
    next = add_sat(s.scheduled, s.period);
    if (next < job.ended) {
      const std::int64_t behind = job.ended - next;
      next = add_sat(next, mul_sat(behind / s.period + (behind % s.period != 0), s.period));
    }
  }
  s.scheduled = next;
  try {
    store.add(job.id, StartClock::steady, next, next,
              PendingTask{std::move(job.task.fct), std::move(job.task.name), kSeriesFlag});
    job.holds_task = false;
  } catch (const std::bad_alloc&) {
    series.erase(job.id);  // no room to queue it: the series ends
    room_made_i();
    return;
  }
  // A worker asleep until a later start must look again.
  if (store.earliest(StartClock::steady) == next && ledger.claim()) work_cv.notify_one();
}

// Sleeps until a notification, the earliest start time, or (while a task
// with a wall-clock start is pending) 100 ms, whichever comes first.
void ThreadPool::Impl::sleep_i(Lock& lock) {
  std::int64_t deadline = kNever;
  const bool wall = store.has_waiting(StartClock::wall);
  const bool steady = store.has_waiting(StartClock::steady);
  if (wall || steady) {
    const std::int64_t now = steady_now_ns();
    if (steady) deadline = std::max(now, store.earliest(StartClock::steady));
    if (wall) {
      // The wall clock may stand anywhere, also before 1970: saturate, then
      // clamp the wait to [0, 100 ms].
      const std::int64_t until = sub_sat(store.earliest(StartClock::wall), wall_now_ns());
      const std::int64_t wait = std::clamp<std::int64_t>(until, 0, kMaxWallWait.count());
      deadline = std::min(deadline, now + wait);
    }
  }
  ledger.going_to_sleep();
  lock.wait_until(work_cv, deadline);
  ledger.woke_up();
}

std::optional<ThreadPool::TaskId> ThreadPool::Impl::add(PendingTask&& task, StartClock clock,
                                                        std::int64_t start, WhenFull when_full,
                                                        std::int64_t wait_deadline,
                                                        const Series* new_series) {
  // Read the clocks before taking the lock.
  std::int64_t steady = steady_now_ns();
  if (clock == StartClock::wall && (start == kMinTime || start <= wall_now_ns())) {
    clock = StartClock::due;
  }
  if (clock == StartClock::steady && start <= steady) clock = StartClock::due;
  TaskId id;
  bool wake = false;
  {
    Lock lock(mutex);
    while (full_i()) {
      if (when_full == WhenFull::throw_error) throw_full();
      if (when_full == WhenFull::give_up || steady >= wait_deadline) return std::nullopt;
      ++room_waiters;
      lock.wait_until(room_cv, wait_deadline);
      --room_waiters;
      steady = steady_now_ns();
    }
    id = next_id;
    // Sleeping workers wait for the earliest start time (or 100 ms). Wake
    // one if this task is due, or sooner than every task of its clock.
    const bool sooner =
        clock == StartClock::due || !store.has_waiting(clock) || start < store.earliest(clock);
    if (new_series != nullptr) {
      task.flags = kSeriesFlag;
      series.emplace(id, *new_series);  // may throw; nothing else changed yet
    }
    try {
      store.add(id, clock, start, steady, std::move(task));
    } catch (...) {
      if (new_series != nullptr) series.erase(id);
      throw;
    }
    ++next_id;
    ++stats.submitted;
    if (sooner && clock == StartClock::wall) next_wall_check = kMinTime;
    wake = sooner && ledger.claim();
  }
  if (wake) work_cv.notify_one();
  return id;
}

void ThreadPool::Impl::throw_full() const {
  throw Error(tamu::cat("Cannot add task: Pending queue has reached capacity (", capacity, ")"));
}

bool ThreadPool::Impl::called_from_task_i(std::optional<TaskId> id) const {
  if (t_pool != this) return false;
  const Running& slot = running[t_worker];
  return slot.active && (!id || slot.id == *id);
}

bool ThreadPool::Impl::wait_done(std::optional<TaskId> id, std::int64_t deadline) {
  Lock lock(mutex);
  if (called_from_task_i(id)) {
    if (!id) throw Error("Cannot wait for the pool to be idle from one of its own tasks");
    throw Error(tamu::cat("Cannot wait for task ", *id, " from inside that task"));
  }
  while (id ? store.contains(*id) || is_running_i(*id) : !is_idle_i()) {
    if (deadline != kNever && steady_now_ns() >= deadline) return false;
    ++done_waiters;
    lock.wait_until(done_cv, deadline);
    --done_waiters;
  }
  return true;
}

namespace {
std::int64_t deadline_after(ThreadPool::Duration timeout) noexcept {
  return add_sat(steady_now_ns(), std::max(timeout.count(), std::int64_t{0}));
}
}  // namespace

// --- The public members -----------------------------------------------------

ThreadPool::ThreadPool(std::size_t num_threads, std::size_t capacity)
    : ThreadPool(num_threads, capacity, Options{}) {}

ThreadPool::ThreadPool(std::size_t num_threads, std::size_t capacity, Options options) {
  if (num_threads == 0 || num_threads > kMaxThreads) {
    throw Error(tamu::cat("Illegal number of threads for thread pool: ", num_threads));
  }
  if (capacity == 0) throw Error(tamu::cat("Illegal capacity for thread pool: ", capacity));
  impl_ = std::make_unique<Impl>(num_threads, capacity, std::move(options.thread_name));
  impl_->start_workers();
}

ThreadPool::~ThreadPool() {
  impl_->stop_workers();
  // Discard the pending tasks here, while the pool is still whole, so that a
  // callable's destructor that looks at the pool finds it valid (and empty).
  std::vector<PendingTask> discarded;
  Lock lock(impl_->mutex);
  impl_->store.clear(discarded);
  impl_->series.clear();
  lock.unlock();
}

ThreadPool::TaskId ThreadPool::add_task(std::function<void()> fct, TimePoint start_time,
                                        std::string name) {
  return impl_->add_or_throw(std::move(fct), StartClock::wall,
                             start_time.time_since_epoch().count(), std::move(name));
}

ThreadPool::TaskId ThreadPool::add_task(std::function<void()> fct, SteadyTimePoint start,
                                        std::string name) {
  const auto ns = std::chrono::duration_cast<nanoseconds>(start.time_since_epoch()).count();
  return impl_->add_or_throw(std::move(fct), StartClock::steady, ns, std::move(name));
}

ThreadPool::TaskId ThreadPool::add_task(std::function<void()> fct, Duration delay,
                                        std::string name) {
  if (delay <= Duration::zero()) {
    return impl_->add_or_throw(std::move(fct), StartClock::due, 0, std::move(name));
  }
  return impl_->add_or_throw(std::move(fct), StartClock::wall,
                             add_sat(wall_now_ns(), delay.count()), std::move(name));
}

std::optional<ThreadPool::TaskId> ThreadPool::try_add_task(std::function<void()> fct,
                                                           std::string name) {
  return impl_->add(PendingTask{std::move(fct), std::move(name), 0}, StartClock::due, 0,
                    Impl::WhenFull::give_up);
}

std::optional<ThreadPool::TaskId> ThreadPool::add_task_wait(std::function<void()> fct,
                                                            Duration timeout, std::string name) {
  return impl_->add(PendingTask{std::move(fct), std::move(name), 0}, StartClock::due, 0,
                    Impl::WhenFull::wait, deadline_after(timeout));
}

ThreadPool::TaskId ThreadPool::add_recurring(std::function<void()> fct, Duration initial_delay,
                                             Duration period, std::string name, Recurrence mode) {
  if (period <= Duration::zero()) {
    throw Error("Illegal period for recurring task: " + std::to_string(period.count()) + " ns");
  }
  const std::int64_t first =
      add_sat(steady_now_ns(), std::max<std::int64_t>(0, initial_delay.count()));
  const Impl::Series s{period.count(), mode, first};
  return *impl_->add(PendingTask{std::move(fct), std::move(name), 0}, StartClock::steady, first,
                     Impl::WhenFull::throw_error, 0, &s);
}

void ThreadPool::wait_idle() { (void)wait_idle_for(Duration::max()); }

bool ThreadPool::wait_idle_for(Duration timeout) {
  return impl_->wait_done(std::nullopt,
                          timeout == Duration::max() ? kNever : deadline_after(timeout));
}

bool ThreadPool::wait(TaskId id) { return wait_for(id, Duration::max()); }

bool ThreadPool::wait_for(TaskId id, Duration timeout) {
  return impl_->wait_done(id, timeout == Duration::max() ? kNever : deadline_after(timeout));
}

void ThreadPool::set_exception_handler(ExceptionHandler handler) {
  std::shared_ptr<const ExceptionHandler> h;
  if (handler) h = std::make_shared<const ExceptionHandler>(std::move(handler));
  std::lock_guard<std::mutex> guard(impl_->handler_mutex);
  impl_->handler.swap(h);  // the old handler is destroyed after the guard
}

std::size_t ThreadPool::capacity() const noexcept { return impl_->capacity; }
std::size_t ThreadPool::num_threads() const noexcept { return impl_->num_threads; }

bool ThreadPool::is_empty() const {
  Lock lock(impl_->mutex);
  return impl_->store.empty();
}

bool ThreadPool::is_full() const {
  Lock lock(impl_->mutex);
  return impl_->full_i();
}

bool ThreadPool::is_idle() const {
  Lock lock(impl_->mutex);
  return impl_->is_idle_i();
}

bool ThreadPool::is_pending(TaskId task_id) const {
  Lock lock(impl_->mutex);
  return impl_->store.contains(task_id);
}

bool ThreadPool::is_running(TaskId task_id) const {
  Lock lock(impl_->mutex);
  return impl_->is_running_i(task_id);
}

bool ThreadPool::is_pending_or_running(TaskId task_id) const {
  Lock lock(impl_->mutex);
  return impl_->store.contains(task_id) || impl_->is_running_i(task_id);
}

std::size_t ThreadPool::num_pending() const {
  Lock lock(impl_->mutex);
  return impl_->store.size();
}

ThreadPool::Stats ThreadPool::stats() const {
  Lock lock(impl_->mutex);
  return impl_->stats;
}

tamu::SmallVector<ThreadPool::TaskId, 16> ThreadPool::get_pending_task_ids(
    std::size_t max_count) const {
  tamu::SmallVector<TaskId, 16> ids;
  Lock lock(impl_->mutex);
  impl_->store.list(max_count, [&ids](TaskId id, const std::string&) { ids.push_back(id); });
  return ids;
}

tamu::SmallVector<std::string, 8> ThreadPool::get_pending_task_names(std::size_t max_count) const {
  tamu::SmallVector<std::string, 8> names;
  Lock lock(impl_->mutex);
  impl_->store.list(max_count,
                    [&names](TaskId, const std::string& name) { names.push_back(name); });
  return names;
}

tamu::SmallVector<ThreadPool::TaskId, 16> ThreadPool::get_running_task_ids() const {
  Lock lock(impl_->mutex);
  tamu::SmallVector<TaskId, 16> ids(static_cast<std::uint32_t>(impl_->num_running));
  std::uint32_t i = 0;
  for (const Impl::Running& r : impl_->running) {
    if (r.active) ids[i++] = r.id;
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

tamu::SmallVector<std::string, 8> ThreadPool::get_running_task_names() const {
  Lock lock(impl_->mutex);
  // Slots are per worker; order them by task id.
  tamu::SmallVector<const Impl::Running*, 16> running;
  running.reserve(static_cast<std::uint32_t>(impl_->num_running));
  for (const Impl::Running& r : impl_->running) {
    if (r.active) running.push_back(&r);
  }
  std::sort(running.begin(), running.end(),
            [](const Impl::Running* a, const Impl::Running* b) { return a->id < b->id; });
  tamu::SmallVector<std::string, 8> names(running.size());
  for (std::uint32_t i = 0; i < running.size(); ++i) names[i] = running[i]->name;
  return names;
}

bool ThreadPool::remove_pending_task(TaskId task_id) {
  PendingTask removed;  // destroyed after the lock is released
  Impl& impl = *impl_;
  Lock lock(impl.mutex);
  if (impl.store.remove(task_id, &removed)) {
    if ((removed.flags & kSeriesFlag) != 0) impl.series.erase(task_id);
  } else {
    // A series during a run: that run finishes, no other starts.
    const auto it = impl.series.find(task_id);
    if (it == impl.series.end() || it->second.ended) return false;
    it->second.ended = true;
  }
  ++impl.stats.removed;
  impl.room_made_i();
  impl.task_ended_i();
  return true;
}

std::size_t ThreadPool::remove_pending_tasks() {
  std::vector<PendingTask> removed;  // destroyed after the lock is released
  Impl& impl = *impl_;
  Lock lock(impl.mutex);
  impl.store.clear(removed);
  std::size_t count = removed.size();
  for (auto it = impl.series.begin(); it != impl.series.end();) {
    if (!it->second.running) {
      it = impl.series.erase(it);  // its pending run was among `removed`
      continue;
    }
    if (!it->second.ended) {
      it->second.ended = true;
      ++count;
    }
    ++it;
  }
  impl.stats.removed += count;
  impl.room_made_i();
  impl.task_ended_i();
  lock.unlock();
  return count;
}

}  // namespace vexo::util
