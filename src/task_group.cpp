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
#include <new>
#include <optional>
#include <thread>
#include <vector>

#include "pool/forced_unwind.hpp"
#include "pool/pool_access.hpp"
#include "pool/scheduler.hpp"
#include "tamu/SmallVector.hpp"

namespace vexo::util {

namespace detail {

// --- Task groups --------------------------------------------------------------

// The lock of a lane: its thread takes it twice per member, and another thread only to steal,
// so it is nearly always free; one exchange to take it, a store to release it, and a yield
// while another holds it (for a few moves of Tasks).
class LaneLock {
 public:
  void lock() noexcept {
    while (locked_.exchange(true, std::memory_order_acquire)) {
      while (locked_.load(std::memory_order_relaxed)) std::this_thread::yield();
    }
  }
  void unlock() noexcept { locked_.store(false, std::memory_order_release); }

 private:
  std::atomic<bool> locked_{false};
};

// The members that one thread run() from inside the members it runs for a group. The thread
// pushes and pops at the back (newest first: a member's children run while its data is still
// in cache) under a lock that nobody else takes as long as the group's queue has work; the
// group's other drainers, finding that queue empty, take the oldest half from the front.
//
// Counting: a lane is filled only by a member running on its thread, and its thread leaves the
// group (drops its running count) only with the lane empty; a thief moves what it takes into
// its own running count under the group's lock. So members in lanes are always covered by
// `running`, and a wait that sees the queue empty and nothing running misses none.
class Lane {
 public:
  explicit Lane(GroupState& group) noexcept : group_(&group) {}
  Lane(const Lane&) = delete;
  Lane& operator=(const Lane&) = delete;

  [[nodiscard]] GroupState* group() const noexcept { return group_; }
  // A hint, read without the lock: nonzero when the lane may hold members. Sequentially
  // consistent, as is the store of push(): see GroupState::drain().
  [[nodiscard]] bool may_have_work() const noexcept {
    return size_.load(std::memory_order_seq_cst) != 0;
  }

  // Adds `member` at the back (its own thread only). Throws std::bad_alloc.
  void push(Task&& member) {
    std::lock_guard<LaneLock> lock(lock_);
    tasks_.push_back(std::move(member));
    publish(std::memory_order_seq_cst);
  }
  // Moves the newest member into `out` (its own thread only); false when empty.
  bool pop(Task& out) noexcept {
    std::lock_guard<LaneLock> lock(lock_);
    if (tasks_.size() == head_) return false;
    out = std::move(tasks_.back());
    tasks_.pop_back();
    publish();
    return true;
  }
  // Moves up to `max` of the oldest half of the members into `out` (another thread, holding
  // the group's lock); returns how many.
  std::size_t steal(Task* out, std::size_t max) noexcept {
    std::lock_guard<LaneLock> lock(lock_);
    const std::size_t k = std::min((tasks_.size() - head_ + 1) / 2, max);
    for (std::size_t i = 0; i < k; ++i) out[i] = std::move(tasks_[head_++]);
    // The moved-from prefix is dropped once it is most of the vector, so that a lane that
    // is never empty does not grow without bound.
    if (head_ > 64 && 2 * head_ > tasks_.size()) {
      tasks_.erase(tasks_.begin(), tasks_.begin() + static_cast<std::ptrdiff_t>(head_));
      head_ = 0;
    }
    publish();
    return k;
  }
  // Moves every member into `out` (any thread, holding the group's lock). Throws
  // std::bad_alloc, leaving the members not moved in the lane.
  template <class Out>
  void take_all(Out& out) {
    std::lock_guard<LaneLock> lock(lock_);
    for (; head_ < tasks_.size(); ++head_) out.push_back(std::move(tasks_[head_]));
    publish();
  }

 private:
  // Keeps the hint in step; an empty lane also forgets its moved-from prefix. Under lock_.
  void publish(std::memory_order order = std::memory_order_relaxed) noexcept {
    if (tasks_.size() == head_) {
      tasks_.clear();
      head_ = 0;
    }
    size_.store(tasks_.size() - head_, order);
  }

  GroupState* const group_;
  LaneLock lock_;
  std::vector<Task> tasks_;  // [head_, size) are members; guarded by lock_
  std::size_t head_ = 0;     // guarded by lock_
  std::atomic<std::size_t> size_{0};
};

namespace {
// The lane of the innermost group that this thread drains (null outside any).
thread_local Lane* t_lane = nullptr;
}  // namespace

struct GroupState : std::enable_shared_from_this<GroupState> {
  GroupState(ThreadPool& p, std::string n)
      : pool(p),
        name(n.empty() ? std::string("task group") : std::move(n)),
        workers(p.num_threads()) {}

  // Runs queued members on the calling thread until the queue and the lanes are empty
  // (returns true) or, checked before each member, `deadline` has passed (returns false; the
  // members not begun go back to the queue). A `helper` stops counting as one as it finds no
  // work, under the lock, so that a run() from then on starts another; it also steps aside
  // (returns true, no longer counted) between two members when an ordered task of the pool
  // is due, once it has queued another helper behind that task.
  bool drain(bool helper, SteadyTime deadline = kSteadyNever);
  // Runs one member, keeping its first exception.
  void run_member(Task& member, const std::stop_token& token);
  // Queues a helper task if members wait (in the queue or in a lane) and fewer helpers than
  // workers are queued or running. Returns false when the pool took none and none is left:
  // then only the caller can run the queued members.
  bool ensure_helper();
  // Queues a helper already counted in `helpers`; returns as ensure_helper().
  bool start_helper();
  // Queues a helper already counted in `helpers` and records its id; returns whether the
  // pool took it (if not, it is counted as done). Throws std::bad_alloc.
  bool queue_helper();
  // A helper that steps aside for an ordered task: queues another helper behind that task,
  // counted while this one still is, then stops counting this one. Returns false, with this
  // one still counted, when the pool took none (full, closed, or out of memory): then this
  // one goes on. Under the lock on entry and on return.
  bool hand_over(std::unique_lock<std::mutex>& lock) noexcept;
  // Moves up to `max` members into `out`: a share of the queue, or else the oldest half of
  // another lane than `own`. Returns how many; under the lock.
  std::size_t take(Task* out, std::size_t max, const Lane* own);
  // True when some lane may hold members; under the lock.
  [[nodiscard]] bool lanes_have_work() const noexcept {
    return std::any_of(lanes.begin(), lanes.end(),
                       [](const Lane* l) { return l->may_have_work(); });
  }
  // Puts batch[begin, end) back at the front of the queue and what `lane` holds at its back,
  // and undoes the running count of a batch of `n`; under the lock. Throws std::bad_alloc.
  void give_back(Task* batch, std::size_t begin, std::size_t end, std::size_t n, Lane* lane);

  ThreadPool& pool;
  const std::string name;
  const std::size_t workers;  // the pool's, fixed
  std::mutex mutex;
  /// Notified when the last running member ends with the queue empty.
  std::condition_variable idle;
  std::deque<Task> queue;    // guarded by mutex
  std::vector<Lane*> lanes;  // the lanes of the threads draining the group; guarded by mutex
  std::size_t running = 0;   // members running (or batched to run); guarded by mutex
  std::exception_ptr error;  // the first failure; guarded by mutex
  std::stop_source stop;     // signalled by cancel(); guarded by mutex
  /// Helpers queued since the last wait; guarded by mutex.
  std::vector<ThreadPool::TaskId> helper_ids;
  /// Helper tasks queued or running; written under mutex, read without it by a run() into a
  /// lane (on a line of its own, as the lock's line moves between threads all the time).
  alignas(64) std::atomic<std::size_t> helpers{0};

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
    state_->helpers.fetch_sub(1, std::memory_order_relaxed);
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

VEXO_CATCHES_FORCED_UNWIND void GroupState::run_member(Task& member, const std::stop_token& token) {
  try {
    // A member that takes no token gets an empty one: copying the group's would write its
    // shared count, from every thread, once per member.
    member(member.takes_stop_token() ? token : std::stop_token());
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!error) error = std::current_exception();
  }
}

std::size_t GroupState::take(Task* out, std::size_t max, const Lane* own) {
  if (!queue.empty()) {
    const std::size_t n = std::clamp<std::size_t>(
        queue.size() / (std::max<std::size_t>(helpers.load(std::memory_order_relaxed), 1) + 1), 1,
        max);
    for (std::size_t i = 0; i < n; ++i) {
      out[i] = std::move(queue.front());
      queue.pop_front();
    }
    return n;
  }
  for (Lane* lane : lanes) {
    if (lane == own || !lane->may_have_work()) continue;
    if (const std::size_t n = lane->steal(out, max)) return n;
  }
  return 0;
}

void GroupState::give_back(Task* batch, std::size_t begin, std::size_t end, std::size_t n,
                           Lane* lane) {
  for (std::size_t i = end; i > begin; --i) queue.push_front(std::move(batch[i - 1]));
  if (lane != nullptr) lane->take_all(queue);
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
  Lane lane(*this);
  // On every way out: the lane leaves the group and this thread. A member that ends its
  // thread (pthread_exit) also sends the rest of its batch and its lane back to the queue,
  // and the running count is undone, so that waits end.
  struct Leave {
    GroupState& state;
    Lane& lane;
    Lane* const outer;
    Task* batch;
    const std::size_t& next;
    const std::size_t& n;
    bool joined = false;
    bool armed = false;
    ~Leave() {
      t_lane = outer;
      if (!joined && !armed) return;
      std::lock_guard<std::mutex> lock(state.mutex);
      if (armed) {
        try {
          state.give_back(batch, next, n, 0, &lane);
        } catch (...) {  // NOLINT(bugprone-empty-catch): no room; those members are dropped
        }
        state.running -= n;
        state.idle.notify_all();
      }
      if (joined) std::erase(state.lanes, &lane);
    }
  } leave{*this, lane, t_lane, batch, next, n};
  std::stop_token token;
  const auto late = [deadline] { return deadline != kSteadyNever && steady_now() >= deadline; };
  // A helper steps aside between two members for a due ordered task, so that batch work
  // never holds one up. It runs one member first, so that each of its runs moves the group
  // on however often it is asked to step aside, and stops asking once the pool took no
  // helper to follow it (full or closed: it then drains, as the only one left may have to).
  const Scheduler* pool_scheduler = helper ? &PoolAccess::scheduler(pool) : nullptr;
  bool ran = false;
  const auto stop_here = [&] {
    return late() || (ran && pool_scheduler != nullptr && pool_scheduler->ordered_due());
  };
  std::unique_lock<std::mutex> lock(mutex);
  try {
    lanes.push_back(&lane);
    leave.joined = true;
    t_lane = &lane;
  } catch (const std::bad_alloc&) {  // no lane: this thread's run()s go to the queue
    t_lane = nullptr;
  }
  for (;;) {
    n = take(batch, kBatch, &lane);
    if (n == 0) {
      if (!helper) return true;
      // A run() into a lane reads `helpers` after its push, without the lock. Both sides are
      // sequentially consistent, so either it sees this helper gone (and starts another), or
      // this helper sees its member here and stays to take it; else the member would wait for
      // its lane's thread to end the member that pushed it, however long that runs.
      helpers.fetch_sub(1, std::memory_order_seq_cst);
      if (!lanes_have_work()) return true;
      helpers.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    token = stop.get_token();
    running += n;
    lock.unlock();
    leave.armed = true;
    for (next = 0; next < n;) {
      if (stop_here()) break;
      Task& member = batch[next++];
      if (!token.stop_requested()) run_member(member, token);
      member.reset();  // with no lock held
      ran = true;
      // What it run() into the lane runs next, newest first, in the slot it left.
      while (lane.may_have_work() && !stop_here() && lane.pop(member)) {
        if (!token.stop_requested()) run_member(member, token);
        member.reset();
      }
    }
    leave.armed = false;
    lock.lock();
    const bool stopped = next < n || lane.may_have_work();
    give_back(batch, next, n, n, &lane);
    if (!stopped) continue;
    if (!helper) return false;  // out of time
    // Stepping aside: what was not begun is back in the queue, for the helper queued next.
    if (hand_over(lock)) return true;
    pool_scheduler = nullptr;
  }
}

bool GroupState::hand_over(std::unique_lock<std::mutex>& lock) noexcept {
  // Counted before this one leaves, so that a run() meanwhile starts none in vain and the
  // members given back never lack a helper.
  helpers.fetch_add(1, std::memory_order_relaxed);
  lock.unlock();
  bool queued = false;
  try {
    queued = queue_helper();
  } catch (const std::bad_alloc&) {  // NOLINT(bugprone-empty-catch): this helper goes on
  }
  lock.lock();
  if (!queued) return false;
  // As when a helper finds no work (see below): sequentially consistent against a run()
  // into a lane, though the helper just queued covers it anyway.
  helpers.fetch_sub(1, std::memory_order_seq_cst);
  return true;
}

bool GroupState::ensure_helper() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if ((queue.empty() && !lanes_have_work()) ||
        helpers.load(std::memory_order_relaxed) >= workers) {
      return true;
    }
    helpers.fetch_add(1, std::memory_order_relaxed);
  }
  return start_helper();
}

bool GroupState::start_helper() {
  if (queue_helper()) return true;
  std::lock_guard<std::mutex> lock(mutex);
  return helpers.load(std::memory_order_relaxed) != 0;
}

bool GroupState::queue_helper() {
  Task helper(GroupHelper{shared_from_this()});
  if (const auto id = PoolAccess::try_add_helper(pool, std::move(helper), name)) {
    std::lock_guard<std::mutex> lock(mutex);
    // Only the latest few can still be pending (at most one per worker is
    // queued or running); the list stays short for a group never waited on.
    if (helper_ids.size() >= 2 * workers) helper_ids.erase(helper_ids.begin());
    helper_ids.push_back(*id);
    return true;
  }
  // try_add_helper moves from `helper` only when it queues it: here it did not.
  helper.reset();  // NOLINT(bugprone-use-after-move): counts the helper as done
  return false;
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
  if (detail::Lane* lane = detail::t_lane; lane != nullptr && lane->group() == &s) {
    // From a member that this thread runs for the group: into its lane, without the group's
    // lock. This thread runs it if nobody takes it; a helper is started only when fewer than
    // the workers are counted (read without the lock: a helper leaving meanwhile sees the
    // member, see drain()).
    lane->push(std::move(fct));
    if (s.helpers.load(std::memory_order_seq_cst) < s.workers) (void)s.ensure_helper();
    return;
  }
  bool start = false;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.queue.push_back(std::move(fct));
    if (s.helpers.load(std::memory_order_relaxed) < s.workers) {
      s.helpers.fetch_add(1, std::memory_order_relaxed);
      start = true;
    }
  }
  // The pool's queue is full (or closed) and no helper will come: run it here.
  if (start && !s.start_helper()) s.drain(false);
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
      if (!s.queue.empty() || s.lanes_have_work()) {
        // Help: what no worker has taken, this thread runs.
        lock.unlock();
        if (!s.drain(false, deadline)) {
          // Out of time: what this thread gave back waits for a helper (or,
          // if the pool takes none, for the next wait).
          (void)s.ensure_helper();
          return false;
        }
        lock.lock();
        if (!s.queue.empty() || s.running == 0) continue;
        // Lanes still filling: their threads run them; sleep until they are done.
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
    for (detail::Lane* lane : s.lanes) {
      try {
        lane->take_all(removed);
      } catch (const std::bad_alloc&) {  // NOLINT(bugprone-empty-catch): the stop token skips them
      }
    }
    stop = s.stop;
    if (s.running == 0) s.idle.notify_all();
  }
  stop.request_stop();  // stop callbacks run here, with no lock held
}

// --- Parallel loops -------------------------------------------------------------

namespace detail {

namespace {

struct LoopState : std::enable_shared_from_this<LoopState> {
  LoopState(ThreadPool& p, std::size_t first, std::size_t last, std::size_t min_chunk,
            std::size_t threads, void* c, LoopBody b)
      : pool(p),
        next(first),
        end(last),
        smallest(min_chunk),
        divisor(2 * threads),
        context(c),
        body(b) {}

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

  // Runs sub-ranges until none is left (returns false) or, with `yield_to` (a helper's),
  // an ordered task of the pool is due after a sub-range (returns true, nothing claimed).
  VEXO_CATCHES_FORCED_UNWIND bool work(const Scheduler* yield_to = nullptr) {
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
      if (yield_to != nullptr && next.load(std::memory_order_relaxed) < end &&
          yield_to->ordered_due()) {
        return true;
      }
    }
    return false;
  }

  // A helper that steps aside for an ordered task queues another behind it, whose id the
  // caller learns, so that it can remove it once the loop is done. Returns false when none
  // was queued (the caller has claimed the last sub-range, or the pool took none).
  bool hand_over() noexcept;

  ThreadPool& pool;
  std::atomic<std::size_t> next;
  const std::size_t end;
  const std::size_t smallest;
  const std::size_t divisor;
  void* const context;
  const LoopBody body;
  std::atomic<bool> failed{false};

  std::mutex mutex;
  std::condition_variable done;  // notified when the last helper is destroyed, or handed over
  std::size_t helpers = 0;       // guarded by mutex
  std::exception_ptr error;      // guarded by mutex
  /// Set by the caller once it found nothing left to claim: no helper is queued after it.
  bool closed = false;  // guarded by mutex
  /// Helpers being queued by helpers that step aside, and their ids; guarded by mutex.
  std::size_t handing_over = 0;
  std::vector<ThreadPool::TaskId> followers;
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
  void operator()() {
    // Steps aside for a due ordered task if it can queue a helper to follow it.
    if (state_->work(&PoolAccess::scheduler(state_->pool)) && !state_->hand_over()) {
      (void)state_->work();
    }
  }

 private:
  std::shared_ptr<LoopState> state_;
};

bool LoopState::hand_over() noexcept {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (closed) return false;
    try {
      followers.reserve(followers.size() + 1);
    } catch (const std::bad_alloc&) {  // no room for its id: this helper goes on
      return false;
    }
    ++helpers;
    ++handing_over;
  }
  std::optional<ThreadPool::TaskId> id;
  try {
    Task helper(LoopHelper{shared_from_this()});
    id = PoolAccess::try_add_helper(pool, std::move(helper), "parallel_for");
  } catch (const std::bad_alloc&) {  // NOLINT(bugprone-empty-catch): its destructor uncounted it
  }
  std::lock_guard<std::mutex> lock(mutex);
  if (id) followers.push_back(*id);  // reserved: does not throw
  if (--handing_over == 0) done.notify_all();
  return id.has_value();
}

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
  auto state = std::make_shared<LoopState>(pool, first, last, smallest, helpers + 1, context, body);
  tamu::SmallVector<ThreadPool::TaskId, 8> ids;
  // Room for every id first: a queued helper whose id is lost could not be
  // removed, and would be waited for.
  std::size_t to_queue = helpers;
  try {
    ids.reserve(static_cast<decltype(ids)::size_type>(helpers));
  } catch (const std::bad_alloc&) {
    to_queue = ids.capacity();
  }
  for (std::size_t i = 0; i < to_queue; ++i) {
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      ++state->helpers;
    }
    // A helper that cannot be queued for want of memory is not a failure of
    // the loop: the helpers queued so far and this thread do the work. (Were
    // the exception to leave here, they would run on a context that is gone.)
    try {
      Task helper(LoopHelper{state});
      if (auto id = PoolAccess::try_add_helper(pool, std::move(helper), "parallel_for")) {
        ids.push_back(*id);
      }
    } catch (...) {
      break;
    }
  }
  state->work();
  // Nothing is left to claim: no helper queues a follower from now on, and the followers
  // queued so far are known.
  std::vector<ThreadPool::TaskId> followers;
  {
    std::unique_lock<std::mutex> lock(state->mutex);
    state->closed = true;
    state->done.wait(lock, [&] { return state->handing_over == 0; });
    followers.swap(state->followers);
  }
  // Helpers that have not started have nothing left to do.
  for (const ThreadPool::TaskId id : ids) pool.remove_pending_task(id);
  for (const ThreadPool::TaskId id : followers) pool.remove_pending_task(id);
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
