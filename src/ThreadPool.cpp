// The thread pool's public members: each forwards to the scheduler, the workers or the failure
// reporter, which live in src/pool/.
#include "vexo/util/ThreadPool.hpp"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <thread>
#include <vector>

#include "pool/failure_report.hpp"
#include "pool/pool_access.hpp"
#include "pool/scheduler.hpp"
#include "pool/workers.hpp"
#include "tamu/cat.hpp"

namespace vexo::util {

namespace {

using detail::Run;
using detail::Scheduler;
using detail::StartClock;
using detail::SteadyTime;

constexpr std::size_t kMaxThreads = 10000;

SteadyTime deadline_after(ThreadPool::Duration timeout) noexcept {
  return timeout == ThreadPool::Duration::max() ? detail::kSteadyNever
                                                : detail::steady_after(timeout);
}

}  // namespace

struct ThreadPool::Impl {
  Impl(std::size_t num_workers, std::size_t capacity, std::string thread_name)
      : scheduler(num_workers, capacity),
        workers(scheduler, reporter, num_workers, std::move(thread_name)) {}

  std::optional<TaskId> add(Task& fct, std::string& name, StartClock clock, std::int64_t start,
                            Scheduler::WhenFull when_full, SteadyTime deadline = {},
                            const Scheduler::SeriesSettings* series = nullptr,
                            bool helper = false) {
    workers.restart_missing();
    if (clock == StartClock::due && series == nullptr) {
      return scheduler.add_due(fct, name, when_full, deadline, helper);
    }
    return scheduler.add(fct, name, clock, start, when_full, deadline, series, helper);
  }
  TaskId add_or_throw(Task& fct, std::string& name, StartClock clock, std::int64_t start) {
    return *add(fct, name, clock, start, Scheduler::WhenFull::throw_error);
  }

  detail::Scheduler scheduler;
  detail::FailureReporter reporter;
  detail::Workers workers;
};

ThreadPool::ThreadPool(std::size_t num_threads, std::size_t capacity)
    : ThreadPool(num_threads, capacity, nullptr, 0) {}

ThreadPool::ThreadPool(std::size_t num_threads, std::size_t capacity, const Options* options,
                       std::size_t options_size) {
  if (num_threads == 0 || num_threads > kMaxThreads) {
    throw Error(tamu::cat("Illegal number of threads for thread pool: ", num_threads));
  }
  if (capacity == 0) throw Error(tamu::cat("Illegal capacity for thread pool: ", capacity));
  // An older caller's Options may end before a member that this version
  // added: such a member keeps its default.
  std::string thread_name;
  if (options != nullptr && options_size >= offsetof(Options, thread_name) + sizeof(std::string)) {
    thread_name = options->thread_name;
  }
  impl_ = std::make_unique<Impl>(num_threads, capacity, std::move(thread_name));
  impl_->workers.start();
}

ThreadPool::~ThreadPool() {
  std::vector<Task> removed;
  impl_->scheduler.close(removed);
  // The callables are destroyed here, while the pool is still whole, so that
  // a destructor that looks at the pool finds it valid (and refusing work).
  removed.clear();
  impl_->scheduler.stop_workers();
  impl_->workers.join();
}

std::size_t ThreadPool::default_thread_count() noexcept {
  return std::max(1u, std::thread::hardware_concurrency());
}

ThreadPool::TaskId ThreadPool::add_task(Task fct, TimePoint start_time, std::string name) {
  return impl_->add_or_throw(fct, name, StartClock::wall, start_time.time_since_epoch().count());
}

ThreadPool::TaskId ThreadPool::add_task(Task fct, SteadyTimePoint start, std::string name) {
  const auto ns = std::chrono::duration_cast<Duration>(start.time_since_epoch()).count();
  return impl_->add_or_throw(fct, name, StartClock::steady, ns);
}

ThreadPool::TaskId ThreadPool::add_task(Task fct, Duration delay, std::string name) {
  if (delay <= Duration::zero()) return impl_->add_or_throw(fct, name, StartClock::due, 0);
  const auto start = detail::wall_now().time_since_epoch();
  std::int64_t at;
  if (__builtin_add_overflow(start.count(), delay.count(), &at)) at = Duration::max().count();
  return impl_->add_or_throw(fct, name, StartClock::wall, at);
}

ThreadPool::TaskId ThreadPool::add_task(Task fct, std::string name) {
  return impl_->add_or_throw(fct, name, StartClock::due, 0);
}

std::optional<ThreadPool::TaskId> ThreadPool::try_add_task(Task&& fct, std::string name) {
  return impl_->add(fct, name, StartClock::due, 0, Scheduler::WhenFull::give_up);
}

std::optional<ThreadPool::TaskId> ThreadPool::add_task_wait(Task&& fct, Duration timeout,
                                                            std::string name) {
  return impl_->add(fct, name, StartClock::due, 0, Scheduler::WhenFull::wait,
                    deadline_after(timeout));
}

ThreadPool::TaskId ThreadPool::add_recurring(Task fct, Duration initial_delay, Duration period,
                                             std::string name, Recurrence mode) {
  if (period <= Duration::zero()) {
    throw Error("Illegal period for recurring task: " + std::to_string(period.count()) + " ns");
  }
  const SteadyTime first = detail::steady_after(initial_delay);
  const Scheduler::SeriesSettings settings{period, mode};
  return *impl_->add(fct, name, StartClock::steady, first.time_since_epoch().count(),
                     Scheduler::WhenFull::throw_error, {}, &settings);
}

void ThreadPool::close() {
  std::vector<Task> removed;  // destroyed after the pool's lock is released
  impl_->scheduler.shut(removed);
}

std::optional<ThreadPool::TaskId> detail::PoolAccess::try_add_helper(ThreadPool& pool, Task&& fct,
                                                                     std::string name) {
  return pool.impl_->add(fct, name, StartClock::due, 0, Scheduler::WhenFull::give_up, {}, nullptr,
                         true);
}

const detail::Scheduler& detail::PoolAccess::scheduler(const ThreadPool& pool) noexcept {
  return pool.impl_->scheduler;
}

void ThreadPool::wait_idle() { (void)wait_idle_for(Duration::max()); }

bool ThreadPool::wait_idle_for(Duration timeout) {
  return impl_->scheduler.wait(std::nullopt, deadline_after(timeout), nullptr) ==
         Scheduler::WaitResult::done;
}

bool ThreadPool::wait(TaskId id) { return wait_for(id, Duration::max()); }

bool ThreadPool::wait_for(TaskId id, Duration timeout) {
  Scheduler& scheduler = impl_->scheduler;
  std::size_t worker = 0;
  if (!scheduler.on_worker(&worker)) {
    return scheduler.wait(id, deadline_after(timeout), nullptr) == Scheduler::WaitResult::done;
  }
  // On a worker: a due task is run here rather than waited for. Its run
  // record ends it when it goes out of scope.
  Run help(scheduler, worker);
  switch (scheduler.wait(id, deadline_after(timeout), &help)) {
    case Scheduler::WaitResult::run_in_place:
      impl_->workers.execute(help);
      return true;
    case Scheduler::WaitResult::done:
      return true;
    default:
      return false;
  }
}

bool ThreadPool::request_stop(TaskId id) {
  Task removed;  // destroyed after the pool's lock is released
  return impl_->scheduler.request_stop(id, removed);
}

void ThreadPool::set_exception_handler(ExceptionHandler handler) {
  impl_->reporter.set_handler(std::move(handler));
}

std::size_t ThreadPool::capacity() const noexcept { return impl_->scheduler.capacity(); }
std::size_t ThreadPool::num_threads() const noexcept { return impl_->workers.count(); }
bool ThreadPool::is_empty() const { return impl_->scheduler.is_empty(); }
bool ThreadPool::is_full() const { return impl_->scheduler.is_full(); }
bool ThreadPool::is_idle() const { return impl_->scheduler.is_idle(); }
bool ThreadPool::is_pending(TaskId task_id) const { return impl_->scheduler.is_pending(task_id); }
bool ThreadPool::is_running(TaskId task_id) const { return impl_->scheduler.is_running(task_id); }
bool ThreadPool::is_pending_or_running(TaskId task_id) const {
  return impl_->scheduler.is_pending_or_running(task_id);
}
std::size_t ThreadPool::num_pending() const { return impl_->scheduler.num_pending(); }

void ThreadPool::stats_into(Stats* out, std::size_t size) const {
  static_assert(std::is_trivially_copyable_v<Stats>);
  const Stats s = impl_->scheduler.stats();
  std::memcpy(out, &s, std::min(size, sizeof s));
}

tamu::SmallVector<ThreadPool::TaskId, 16> ThreadPool::get_pending_task_ids(
    std::size_t max_count) const {
  tamu::SmallVector<TaskId, 16> ids;
  impl_->scheduler.list_pending(max_count,
                                [&ids](TaskId id, const std::string&) { ids.push_back(id); });
  return ids;
}

tamu::SmallVector<std::string, 8> ThreadPool::get_pending_task_names(std::size_t max_count) const {
  tamu::SmallVector<std::string, 8> names;
  impl_->scheduler.list_pending(
      max_count, [&names](TaskId, const std::string& name) { names.push_back(name); });
  return names;
}

tamu::SmallVector<ThreadPool::TaskId, 16> ThreadPool::get_running_task_ids() const {
  tamu::SmallVector<TaskId, 16> ids;
  impl_->scheduler.list_running([&ids](TaskId id, const std::string&) { ids.push_back(id); });
  return ids;
}

tamu::SmallVector<std::string, 8> ThreadPool::get_running_task_names() const {
  tamu::SmallVector<std::string, 8> names;
  impl_->scheduler.list_running(
      [&names](TaskId, const std::string& name) { names.push_back(name); });
  return names;
}

bool ThreadPool::remove_pending_task(TaskId task_id) {
  Task removed;  // destroyed after the pool's lock is released
  return impl_->scheduler.remove(task_id, removed);
}

std::size_t ThreadPool::remove_pending_tasks() {
  std::vector<Task> removed;  // destroyed after the pool's lock is released
  return impl_->scheduler.remove_all(removed);
}

}  // namespace vexo::util
