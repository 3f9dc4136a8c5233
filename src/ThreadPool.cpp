#include "vexo/util/ThreadPool.hpp"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <exception>
#include <iostream>
#include <limits>
#include <system_error>

#include "tamu/cat.hpp"

namespace vexo::util {

namespace {

using std::chrono::milliseconds;

// Idle workers re-read the wall clock at least this often while tasks are
// pending, so that a task still starts in time after the clock was set
// forward.
constexpr milliseconds kMaxIdleWait{100};

constexpr std::size_t kMaxThreads = 10000;

// Holds the pool's mutex for a scope; unlock()/lock() let a worker release it
// in between, and wait_for() sleeps on a condition variable with it.
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

  // Waits for a notification, at most `timeout` (forever when it is
  // milliseconds::max()); the mutex is released meanwhile and held again on
  // return.
  void wait(std::condition_variable& cv, std::chrono::nanoseconds timeout) {
    std::unique_lock<std::mutex> native(mutex_.native(), std::adopt_lock);
    // Spurious wake-ups are harmless: the worker loop re-scans after every
    // wait.
    if (timeout == std::chrono::nanoseconds::max()) {
      cv.wait(native);  // NOLINT(bugprone-spuriously-wake-up-functions)
    } else {
      cv.wait_for(native, timeout);  // NOLINT(bugprone-spuriously-wake-up-functions)
    }
    native.release();
  }

 private:
  detail::Mutex& mutex_;
  bool locked_ = true;
};

// Serialises the diagnostic lines of all pools, so that two workers' lines
// never interleave.
std::mutex& diagnostic_mutex() {
  static std::mutex mutex;
  return mutex;
}

void report_exception(const std::string& name, const char* what) {
  std::string line = tamu::cat("Exception in task \"", name, "\": ");
  line.append(what).push_back('\n');
  std::lock_guard<std::mutex> guard(diagnostic_mutex());
  std::cerr << line << std::flush;
}

// Workers leave these signals to the process's other threads.
void block_signals() noexcept {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGALRM, SIGINT, SIGPIPE, SIGTERM, SIGURG, SIGUSR1, SIGUSR2})
    sigaddset(&set, sig);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace

ThreadPool::ThreadPool(std::size_t num_threads, std::size_t capacity) : capacity_(capacity) {
  if (num_threads == 0 || num_threads > kMaxThreads) {
    throw Error(tamu::cat("Illegal number of threads for thread pool: ", num_threads));
  }
  if (capacity == 0) throw Error(tamu::cat("Illegal capacity for thread pool: ", capacity));

  {
    Lock lock(mutex_);
    ongoing_tasks_.resize(num_threads);
  }
  threads_.reserve(num_threads);
  try {
    for (std::size_t i = 0; i < num_threads; ++i) {
      threads_.emplace_back([this, i] { perform_work(i); });
    }
  } catch (...) {
    stop_workers();
    throw;
  }
}

ThreadPool::~ThreadPool() {
  stop_workers();
  // Discard the pending tasks here, while the pool is still whole, so that a
  // callable's destructor that looks at the pool finds it valid (and empty).
  std::deque<Task> discarded;
  Lock lock(mutex_);
  discarded.swap(pending_tasks_);
  earliest_start_ = TimePoint::max();
  lock.unlock();
}

void ThreadPool::stop_workers() noexcept {
  {
    Lock lock(mutex_);
    cancel_requested_.store(true);
  }
  work_available_.notify_all();
  for (std::thread& thread : threads_) {
    if (thread.joinable()) thread.join();
  }
}

ThreadPool::TaskId ThreadPool::add_task(std::function<void()> fct, TimePoint start_time,
                                        std::string name) {
  TaskId id;
  bool wake = false;
  {
    Lock lock(mutex_);
    if (is_full_i()) {
      throw Error(
          tamu::cat("Cannot add task: Pending queue has reached capacity (", num_pending_i(), ")"));
    }
    id = next_task_id_;
    pending_tasks_.emplace_back(id, std::move(fct), std::move(name), start_time);
    ++next_task_id_;
    // Sleeping workers wait for earliest_start_ (or a poll). Wake one only if
    // this task is due now or sooner than that, and only if some sleeper has
    // not been woken already: one wake-up per task, none wasted.
    const bool sooner = start_time < earliest_start_;
    if (sooner) earliest_start_ = start_time;
    if (idle_workers_ > wakeups_in_flight_ &&
        (sooner || start_time <= std::chrono::system_clock::now())) {
      ++wakeups_in_flight_;
      wake = true;
    }
  }
  if (wake) work_available_.notify_one();
  return id;
}

std::deque<ThreadPool::Task>::iterator ThreadPool::find_due_i(TimePoint now) {
  if (now < earliest_start_) return pending_tasks_.end();
  TimePoint earliest = TimePoint::max();
  for (auto it = pending_tasks_.begin(); it != pending_tasks_.end(); ++it) {
    if (it->start_time_ <= now) return it;
    earliest = std::min(earliest, it->start_time_);
  }
  // Every pending task was looked at, so the bound is now exact.
  earliest_start_ = earliest;
  return pending_tasks_.end();
}

void ThreadPool::perform_work(std::size_t worker) {
  block_signals();
  // The task this worker runs, and the one it ran last: a finished task's
  // callable and name stay here until the next task replaces them (or the
  // worker goes idle), so that they are destroyed with no lock held and the
  // worker needs the lock only once between two tasks.
  std::function<void()> fct;
  std::string name;
  bool ran_task = false;

  Lock lock(mutex_);
  for (;;) {
    if (ran_task) {
      ongoing_tasks_[worker].active = false;
      --num_running_;
      ran_task = false;
    }
    if (cancel_requested_.load()) break;
    const TimePoint now = std::chrono::system_clock::now();
    auto due = find_due_i(now);
    if (due == pending_tasks_.end()) {
      if (fct) {
        // Destroy the last task's callable before sleeping, without the lock.
        lock.unlock();
        fct = nullptr;
        name = std::string();
        lock.lock();
        continue;
      }
      std::chrono::nanoseconds timeout = std::chrono::nanoseconds::max();
      if (!pending_tasks_.empty()) {
        timeout = kMaxIdleWait;
        if (earliest_start_ - now < timeout) timeout = earliest_start_ - now;
      }
      ++idle_workers_;
      lock.wait(work_available_, timeout);
      --idle_workers_;
      if (wakeups_in_flight_ > 0) --wakeups_in_flight_;
      continue;
    }

    std::function<void()> next_fct = std::move(due->fct_);
    std::string next_name = std::move(due->name_);
    Running& slot = ongoing_tasks_[worker];
    slot.active = true;
    slot.id = due->id_;
    slot.name.assign(next_name);
    ++num_running_;
    pending_tasks_.erase(due);
    if (pending_tasks_.empty()) earliest_start_ = TimePoint::max();
    // More work may be due: pass the wake-up on, so that a burst of
    // submissions gets every idle worker going without the submitter waking
    // more workers than there are tasks.
    const bool wake_another = idle_workers_ > wakeups_in_flight_ && earliest_start_ <= now;
    if (wake_another) ++wakeups_in_flight_;
    lock.unlock();

    if (wake_another) work_available_.notify_one();
    fct = std::move(next_fct);  // destroys the previous task's callable
    name = std::move(next_name);
    try {
      fct();
    } catch (const std::exception& e) {
      report_exception(name, e.what());
    } catch (...) {
      report_exception(name, "unknown exception");
    }
    ran_task = true;
    lock.lock();
  }
  lock.unlock();
  // The last callable is destroyed here, after the task has left the running
  // record, with no lock held.
}

bool ThreadPool::is_pending_i(TaskId task_id) const {
  // Ids are issued in submission order and the queue keeps that order.
  auto it = std::lower_bound(pending_tasks_.begin(), pending_tasks_.end(), task_id,
                             [](const Task& t, TaskId key) { return t.id_ < key; });
  return it != pending_tasks_.end() && it->id_ == task_id;
}

bool ThreadPool::is_running_i(TaskId task_id) const {
  return std::any_of(ongoing_tasks_.begin(), ongoing_tasks_.end(),
                     [task_id](const Running& r) { return r.active && r.id == task_id; });
}

bool ThreadPool::is_empty() const {
  Lock lock(mutex_);
  return is_empty_i();
}

bool ThreadPool::is_full() const {
  Lock lock(mutex_);
  return is_full_i();
}

bool ThreadPool::is_idle() const {
  Lock lock(mutex_);
  return pending_tasks_.empty() && num_running_ == 0;
}

bool ThreadPool::is_pending(TaskId task_id) const {
  Lock lock(mutex_);
  return is_pending_i(task_id);
}

bool ThreadPool::is_running(TaskId task_id) const {
  Lock lock(mutex_);
  return is_running_i(task_id);
}

bool ThreadPool::is_pending_or_running(TaskId task_id) const {
  Lock lock(mutex_);
  return is_pending_i(task_id) || is_running_i(task_id);
}

std::size_t ThreadPool::num_pending() const {
  Lock lock(mutex_);
  return num_pending_i();
}

tamu::SmallVector<ThreadPool::TaskId, 16> ThreadPool::get_running_task_ids() const {
  Lock lock(mutex_);
  tamu::SmallVector<TaskId, 16> ids(static_cast<std::uint32_t>(num_running_));
  std::uint32_t i = 0;
  for (const Running& r : ongoing_tasks_) {
    if (r.active) ids[i++] = r.id;
  }
  std::sort(ids.begin(), ids.end());
  return ids;
}

tamu::SmallVector<std::string, 8> ThreadPool::get_running_task_names() const {
  Lock lock(mutex_);
  // Slots are per worker; order them by task id.
  tamu::SmallVector<const Running*, 16> running;
  running.reserve(static_cast<std::uint32_t>(num_running_));
  for (const Running& r : ongoing_tasks_) {
    if (r.active) running.push_back(&r);
  }
  std::sort(running.begin(), running.end(),
            [](const Running* a, const Running* b) { return a->id < b->id; });
  tamu::SmallVector<std::string, 8> names(running.size());
  for (std::uint32_t i = 0; i < running.size(); ++i) names[i] = running[i]->name;
  return names;
}

bool ThreadPool::remove_pending_task(TaskId task_id) {
  Task removed;  // destroyed after the lock is released
  {
    Lock lock(mutex_);
    auto it = std::lower_bound(pending_tasks_.begin(), pending_tasks_.end(), task_id,
                               [](const Task& t, TaskId key) { return t.id_ < key; });
    if (it == pending_tasks_.end() || it->id_ != task_id) return false;
    removed = std::move(*it);
    pending_tasks_.erase(it);
    if (pending_tasks_.empty()) earliest_start_ = TimePoint::max();
  }
  return true;
}

std::size_t ThreadPool::remove_pending_tasks() {
  std::deque<Task> removed;  // destroyed after the lock is released
  {
    Lock lock(mutex_);
    removed.swap(pending_tasks_);
    earliest_start_ = TimePoint::max();
  }
  return removed.size();
}

}  // namespace vexo::util
