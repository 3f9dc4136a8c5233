// Task groups and parallel loops on a pool: a queue or a counter that the calling thread and a
// few helper tasks drain together. A helper counts as done when it finds nothing left to do, or
// when its callable is destroyed, so a helper that nobody runs (removed by anyone, or discarded
// with the pool) never holds up a wait.
#include "vexo/util/task_group.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "pool/forced_unwind.hpp"
#include "pool/pool_access.hpp"
#include "pool/scheduler.hpp"
#include "tamu/SmallVector.hpp"

namespace vexo::util {

namespace detail {

// --- Task groups --------------------------------------------------------------

struct GroupState : std::enable_shared_from_this<GroupState> {
  GroupState(ThreadPool& p, std::string n)
      : pool(p), name(n.empty() ? std::string("task group") : std::move(n)) {}

  // Runs queued members on the calling thread until the queue is empty
  // (returns true) or, checked before each member, `deadline` has passed
  // (returns false; the members not begun go back to the queue). A `helper`
  // stops counting as one as it finds the queue empty, under the lock, so
  // that a run() from then on starts another.
  bool drain(bool helper, SteadyTime deadline = kSteadyNever);
  // Runs one member, keeping its first exception.
  void run_member(Task& member, std::stop_token token);
  // Queues a helper task if members wait and fewer helpers than workers are
  // queued or running. Returns false when the pool took none and none is
  // left: then only the caller can run the queued members.
  bool ensure_helper();
  // Puts batch[begin, end) back at the front of the queue, in order, and
  // undoes the running count of a batch of `n`; under the lock.
  void give_back(Task* batch, std::size_t begin, std::size_t end, std::size_t n);

  ThreadPool& pool;
  const std::string name;
  std::mutex mutex;
  /// Notified when the last running member ends with the queue empty.
  std::condition_variable idle;
  std::deque<Task> queue;    // guarded by mutex
  std::size_t running = 0;   // members running; guarded by mutex
  std::size_t helpers = 0;   // helper tasks queued or running; guarded by mutex
  std::exception_ptr error;  // the first failure; guarded by mutex
  std::stop_source stop;     // signalled by cancel(); guarded by mutex
  /// Helpers queued since the last wait; guarded by mutex.
  std::vector<ThreadPool::TaskId> helper_ids;

  // Removes the helpers that have not started: with the queue empty they
  // would only take room in the pool's queue.
  void remove_idle_helpers() {
    std::vector<ThreadPool::TaskId> ids;
    {
      std::lock_guard<std::mutex> lock(mutex);
      ids.swap(helper_ids);
    }
    for (const ThreadPool::TaskId id : ids) pool.remove_pending_task(id);
    // A run() meanwhile may have counted on a helper just removed.
    if (!ensure_helper()) drain(false);
  }
};

namespace {

// A pool task that drains its group; done when destroyed, run or not.
class GroupHelper {
 public:
  explicit GroupHelper(std::shared_ptr<GroupState> state) noexcept : state_(std::move(state)) {}
  GroupHelper(GroupHelper&&) noexcept = default;
  GroupHelper& operator=(GroupHelper&&) = delete;
  GroupHelper(const GroupHelper&) = delete;
  ~GroupHelper() {
    if (!state_ || left_) return;
    std::lock_guard<std::mutex> lock(state_->mutex);
    --state_->helpers;
  }
  void operator()() {
    state_->drain(true);
    left_ = true;  // drain() uncounted it
  }

 private:
  std::shared_ptr<GroupState> state_;
  bool left_ = false;
};

}  // namespace

VEXO_CATCHES_FORCED_UNWIND void GroupState::run_member(Task& member, std::stop_token token) {
  try {
    member(std::move(token));
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!error) error = std::current_exception();
  }
}

void GroupState::give_back(Task* batch, std::size_t begin, std::size_t end, std::size_t n) {
  for (std::size_t i = end; i > begin; --i) queue.push_front(std::move(batch[i - 1]));
  running -= n;
  if (running == 0) idle.notify_all();
}

bool GroupState::drain(bool helper, SteadyTime deadline) {
  // Members are taken in batches of up to kBatch, a share of the queue, so
  // that small members cost few trips through the lock. A member of a batch
  // that a cancel() overtakes is destroyed without running, as it would have
  // been in the queue.
  constexpr std::size_t kBatch = 256;
  Task batch[kBatch];
  std::size_t n = 0;
  std::size_t next = 0;  // batch[next, n) has not begun
  // A member that ends its thread (pthread_exit): the rest of its batch goes
  // back to the queue and the running count is undone, so that waits end.
  struct OnUnwind {
    GroupState& state;
    Task* batch;
    const std::size_t& next;
    const std::size_t& n;
    bool armed = false;
    ~OnUnwind() {
      if (!armed) return;
      std::lock_guard<std::mutex> lock(state.mutex);
      try {
        state.give_back(batch, next, n, 0);
      } catch (...) {  // NOLINT(bugprone-empty-catch): no room; those members are dropped
      }
      state.running -= n;
      state.idle.notify_all();
    }
  } on_unwind{*this, batch, next, n};
  std::stop_token token;
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    if (queue.empty()) {
      if (helper) --helpers;
      return true;
    }
    n = std::clamp<std::size_t>(queue.size() / (std::max<std::size_t>(helpers, 1) + 1), 1, kBatch);
    for (std::size_t i = 0; i < n; ++i) {
      batch[i] = std::move(queue.front());
      queue.pop_front();
    }
    token = stop.get_token();
    running += n;
    lock.unlock();
    on_unwind.armed = true;
    for (next = 0; next < n;) {
      if (deadline != kSteadyNever && steady_now() >= deadline) break;
      Task& member = batch[next++];
      if (!token.stop_requested()) run_member(member, token);
      member.reset();  // with no lock held
    }
    on_unwind.armed = false;
    lock.lock();
    give_back(batch, next, n, n);
    if (next < n) return false;
  }
}

bool GroupState::ensure_helper() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (queue.empty() || helpers >= pool.num_threads()) return true;
    ++helpers;
  }
  Task helper(GroupHelper{shared_from_this()});
  if (const auto id = PoolAccess::try_add_helper(pool, std::move(helper), name)) {
    std::lock_guard<std::mutex> lock(mutex);
    // Only the latest few can still be pending (at most one per worker is
    // queued or running); the list stays short for a group never waited on.
    if (helper_ids.size() >= 2 * pool.num_threads()) helper_ids.erase(helper_ids.begin());
    helper_ids.push_back(*id);
    return true;
  }
  // try_add_helper moves from `helper` only when it queues it: here it did not.
  helper.reset();  // NOLINT(bugprone-use-after-move): counts the helper as done
  std::lock_guard<std::mutex> lock(mutex);
  return helpers != 0;
}

}  // namespace detail

TaskGroup::TaskGroup(ThreadPool& pool, std::string name)
    : state_(std::make_shared<detail::GroupState>(pool, std::move(name))) {}

TaskGroup::~TaskGroup() {
  cancel();
  state_->remove_idle_helpers();
  std::unique_lock<std::mutex> lock(state_->mutex);
  state_->idle.wait(lock, [this] { return state_->running == 0; });
}

void TaskGroup::run_task(Task&& fct) {
  detail::GroupState& s = *state_;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.queue.push_back(std::move(fct));
  }
  // The pool's queue is full (or closed) and no helper will come: run it here.
  if (!s.ensure_helper()) s.drain(false);
}

void TaskGroup::wait() { (void)wait_for(ThreadPool::Duration::max()); }

bool TaskGroup::wait_for(ThreadPool::Duration timeout) {
  detail::GroupState& s = *state_;
  // Saturated, as the pool's waits are.
  const detail::SteadyTime deadline =
      timeout == ThreadPool::Duration::max() ? detail::kSteadyNever : detail::steady_after(timeout);
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
      if (!s.queue.empty()) {
        // Help: what no worker has taken, this thread runs.
        lock.unlock();
        if (!s.drain(false, deadline)) {
          // Out of time: what this thread gave back waits for a helper (or,
          // if the pool takes none, for the next wait).
          (void)s.ensure_helper();
          return false;
        }
        lock.lock();
        continue;
      }
      if (s.running == 0) break;
      if (deadline == detail::kSteadyNever) {
        s.idle.wait(lock);  // NOLINT(bugprone-spuriously-wake-up-functions): the loop looks again
      } else if (s.idle.wait_until(lock, deadline) == std::cv_status::timeout && s.running != 0 &&
                 s.queue.empty()) {
        return false;
      }
    }
    error = std::exchange(s.error, nullptr);
    if (s.stop.stop_requested()) s.stop = std::stop_source();
  }
  s.remove_idle_helpers();
  if (error) std::rethrow_exception(error);
  return true;
}

void TaskGroup::cancel() {
  detail::GroupState& s = *state_;
  std::deque<Task> removed;  // destroyed with no lock held
  std::stop_source stop(std::nostopstate);
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    removed.swap(s.queue);
    stop = s.stop;
    if (s.running == 0) s.idle.notify_all();
  }
  stop.request_stop();  // stop callbacks run here, with no lock held
}

// --- Parallel loops -------------------------------------------------------------

namespace detail {

namespace {

struct LoopState {
  LoopState(std::size_t first, std::size_t last, std::size_t min_chunk, std::size_t threads,
            void* c, LoopBody b)
      : next(first), end(last), smallest(min_chunk), divisor(2 * threads), context(c), body(b) {}

  // Claims the next sub-range: a share of what remains, at least `smallest`.
  bool claim(std::size_t& begin, std::size_t& stop) noexcept {
    std::size_t at = next.load(std::memory_order_relaxed);
    for (;;) {
      if (at >= end || failed.load(std::memory_order_relaxed)) return false;
      const std::size_t remaining = end - at;
      const std::size_t take = std::min(remaining, std::max(smallest, remaining / divisor));
      if (next.compare_exchange_weak(at, at + take, std::memory_order_relaxed)) {
        begin = at;
        stop = at + take;
        return true;
      }
    }
  }

  VEXO_CATCHES_FORCED_UNWIND void work() {
    std::size_t begin = 0, stop = 0;
    while (claim(begin, stop)) {
      try {
        body(context, begin, stop);
      } catch (abi::__forced_unwind&) {
        throw;
      } catch (...) {
        std::lock_guard<std::mutex> lock(mutex);
        if (!error) error = std::current_exception();
        failed.store(true, std::memory_order_relaxed);
      }
    }
  }

  std::atomic<std::size_t> next;
  const std::size_t end;
  const std::size_t smallest;
  const std::size_t divisor;
  void* const context;
  const LoopBody body;
  std::atomic<bool> failed{false};

  std::mutex mutex;
  std::condition_variable done;  // notified when the last helper is destroyed
  std::size_t helpers = 0;       // guarded by mutex
  std::exception_ptr error;      // guarded by mutex
};

// A pool task that works on its loop; done when destroyed, run or not.
class LoopHelper {
 public:
  explicit LoopHelper(std::shared_ptr<LoopState> state) noexcept : state_(std::move(state)) {}
  LoopHelper(LoopHelper&&) noexcept = default;
  LoopHelper& operator=(LoopHelper&&) = delete;
  LoopHelper(const LoopHelper&) = delete;
  ~LoopHelper() {
    if (!state_) return;
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (--state_->helpers == 0) state_->done.notify_all();
  }
  void operator()() { state_->work(); }

 private:
  std::shared_ptr<LoopState> state_;
};

constexpr std::size_t kMaxHelpers = 64;

}  // namespace

void parallel_for_ranges(ThreadPool& pool, std::size_t first, std::size_t last, std::size_t grain,
                         void* context, LoopBody body) {
  if (first >= last) return;
  const std::size_t count = last - first;
  const std::size_t cores = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t threads = std::min(pool.num_threads() + 1, cores);
  // By default the smallest sub-range is 1/64 of a thread's share: small
  // enough to even out the end, large enough that claiming costs nothing.
  const std::size_t smallest =
      grain != 0 ? grain : std::max<std::size_t>(1, count / (threads * 64));
  const std::size_t helpers =
      std::min({threads - 1, (count + smallest - 1) / smallest - 1, kMaxHelpers});
  if (helpers == 0) {
    body(context, first, last);
    return;
  }
  auto state = std::make_shared<LoopState>(first, last, smallest, helpers + 1, context, body);
  tamu::SmallVector<ThreadPool::TaskId, 8> ids;
  for (std::size_t i = 0; i < helpers; ++i) {
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      ++state->helpers;
    }
    Task helper(LoopHelper{state});
    try {
      if (auto id = PoolAccess::try_add_helper(pool, std::move(helper), "parallel_for")) {
        ids.push_back(*id);
      }
    } catch (...) {
      // Out of memory: the helpers queued so far, and this thread, do the
      // work; leaving now would leave them pointing at the caller's `fct`.
      break;
    }
  }
  state->work();
  // Helpers that have not started have nothing left to do.
  for (const ThreadPool::TaskId id : ids) pool.remove_pending_task(id);
  std::exception_ptr error;
  {
    std::unique_lock<std::mutex> lock(state->mutex);
    state->done.wait(lock, [&] { return state->helpers == 0; });
    error = state->error;
  }
  if (error) std::rethrow_exception(error);
}

}  // namespace detail

}  // namespace vexo::util
