// The thread pool's scheduler: every change to the pool's shared state happens here, under its
// one lock, except a due task's submission, which goes to the submission ring without it, and a
// worker's take of the ring's front, under the worker's own lock.
#include "scheduler.hpp"

#include <algorithm>
#include <limits>
#include <new>
#include <thread>

#include "tamu/cat.hpp"
#include "vexo/util/exceptions.hpp"

namespace vexo::util::detail {

namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;

// While a task with a wall-clock start time is pending, idle workers re-read
// the wall clock at least this often, so that such a task still starts in
// time after the clock was set forward.
constexpr nanoseconds kMaxWallWait = milliseconds(100);

// Workers that go from task to task read the wall clock at least this often
// while a task with a wall-clock start is pending.
constexpr nanoseconds kBusyWallCheck = milliseconds(1);

// A worker that runs out of tasks spins up to kSpinRounds times kSpinPauses
// pauses (a few microseconds) before it sleeps, starting a new round only
// when a submission came during the last one (and another worker took it).
constexpr int kSpinRounds = 4;
constexpr int kSpinPauses = 256;

// A submitter from outside the pool that finds the ring full yields while
// the workers take at least kFastTakes tasks per kRoomPollNs: they keep up
// with it. Slower workers let it sleep until they have emptied half the
// ring, as long as they take a task in each slice, and for the whole wait at
// most: yielding to them would keep it runnable beside them, taking their
// cores. If no room came, or the submitter is one of the pool's tasks, it
// moves the ring's tasks to the store, and later tasks go through the lock
// until the store's due ones are taken.
constexpr std::int64_t kRoomPollNs = 10'000;
constexpr std::uint64_t kFastTakes = 32;
constexpr std::int64_t kRoomSliceNs = 200'000;
constexpr std::int64_t kRoomWaitNs = 2'000'000;

constexpr std::int64_t kMinTime = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMaxTime = std::numeric_limits<std::int64_t>::max();

std::int64_t sub_sat(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) return b < 0 ? kMaxTime : kMinTime;
  return r;
}
std::int64_t add_sat(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t r;
  if (__builtin_add_overflow(a, b, &r)) return b > 0 ? kMaxTime : kMinTime;
  return r;
}
std::int64_t mul_sat(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t r;
  if (__builtin_mul_overflow(a, b, &r)) return a > 0 ? kMaxTime : kMinTime;
  return r;
}
SteadyTime steady_add(SteadyTime t, Duration d) noexcept {
  return SteadyTime(Duration(add_sat(t.time_since_epoch().count(), d.count())));
}
std::int64_t ns(SteadyTime t) noexcept { return t.time_since_epoch().count(); }

// The pool and worker of the calling thread, if it is a worker.
thread_local const Scheduler* t_scheduler = nullptr;
thread_local std::size_t t_worker = 0;

}  // namespace

SteadyTime steady_after(Duration d) noexcept {
  return steady_add(steady_now(), std::max(d, Duration::zero()));
}

void Run::end_if_active() noexcept {
  if (!active_) return;
  if (in_call_) ended_ = steady_now();  // the thread is being unwound out of the callable
  scheduler_.end(*this);
}

VEXO_CATCHES_FORCED_UNWIND void Run::execute(Report report, void* context) {
  failed_ = false;
  in_call_ = true;
  try {
    task_(token_);
    in_call_ = false;
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (const std::exception& e) {
    in_call_ = false;
    failed_ = true;
    report(context, *this, e.what());
  } catch (...) {
    in_call_ = false;
    failed_ = true;
    report(context, *this, "unknown exception");
  }
  ended_ = steady_now();
}

// --- RunningSet and SeriesTable ---------------------------------------------

void Scheduler::RunTotals::add_to(Stats& s) const noexcept {
  s.submitted += submitted;
  s.helpers_submitted += helpers_submitted;
  s.completed += completed;
  s.failed += failed;
  s.helpers_completed += helpers_completed;
  s.total_queue_wait += total_queue_wait;
  s.max_queue_wait = std::max(s.max_queue_wait, max_queue_wait);
  s.total_run_time += total_run_time;
  s.max_run_time = std::max(s.max_run_time, max_run_time);
}

const Scheduler::RunningEntry* Scheduler::RunningSet::find(TaskId id,
                                                           const Snapshot&) const noexcept {
  for (std::size_t w = 0; w < count_; ++w) {
    for (const RunningEntry& e : workers_[w].stack) {
      if (e.id == id) return &e;
    }
  }
  return nullptr;
}

std::size_t Scheduler::RunningSet::size(const Snapshot&) const noexcept {
  std::size_t n = 0;
  for (std::size_t w = 0; w < count_; ++w) n += workers_[w].stack.size();
  return n;
}

bool Scheduler::RunningSet::on_stack(std::size_t worker, TaskId id) const noexcept {
  const auto& stack = workers_[worker].stack;
  return std::any_of(stack.begin(), stack.end(),
                     [id](const RunningEntry& e) { return e.id == id; });
}

std::size_t Scheduler::SeriesTable::end_all() noexcept {
  std::size_t newly_ended = 0;
  for (auto it = map_.begin(); it != map_.end();) {
    if (!it->second.running) {
      it = map_.erase(it);
      continue;
    }
    if (!it->second.ended) {
      it->second.ended = true;
      ++newly_ended;
    }
    ++it;
  }
  return newly_ended;
}

// --- Submissions ---------------------------------------------------------------

Scheduler::Scheduler(std::size_t workers, std::size_t capacity, std::size_t ring_slots)
    : capacity_(capacity),
      ring_(ring_slots),
      places_(capacity),
      lookouts_(workers),
      running_(workers) {}

void Scheduler::throw_refused(Admission a) {
  throw Error(a == Admission::closing ? "Cannot add task: the pool is being destroyed"
                                      : "Cannot add task: the pool is closed");
}

std::optional<TaskId> Scheduler::add(Task& fct, std::string& name, StartClock clock,
                                     std::int64_t start, WhenFull when_full, SteadyTime deadline,
                                     const SeriesSettings* settings, bool helper) {
  // Read the clocks before taking the lock.
  SteadyTime steady = steady_now();
  if (clock == StartClock::wall &&
      (start == kMinTime || start <= wall_now().time_since_epoch().count())) {
    clock = StartClock::due;
  }
  if (clock == StartClock::steady && start <= ns(steady)) clock = StartClock::due;
  if (clock == StartClock::due && settings == nullptr && places_.take()) {
    return post(fct, name, steady, helper, when_full);
  }
  // Given back unless the task is queued.
  struct Place {
    Places& places;
    bool held = false;
    ~Place() {
      if (held) places.give();
    }
  } place{places_};
  TaskId id;
  bool wake = false;
  {
    Lock lock(mutex_);
    for (;;) {
      if (admission() != Admission::open) {
        if (when_full == WhenFull::throw_error) throw_refused(admission());
        return std::nullopt;
      }
      if (place.held || (place.held = places_.take())) {
        // A series' run that became due before this submission queues ahead
        // of it, whether or not a worker has looked at the queue since.
        if (store_.has_waiting(StartClock::steady) &&
            store_.earliest(StartClock::steady) <= ns(steady)) {
          promote_i(steady);
        }
        // What the task needs is allocated before its id is claimed, so that
        // a claimed id is never left unused.
        if (settings != nullptr || clock != StartClock::due) store_.reserve_queued();
        if (settings != nullptr) {
          series_.prepare(Series{settings->period, settings->mode, SteadyTime(Duration(start)),
                                 fct.takes_stop_token() ? std::stop_source()  // one for all runs
                                                        : std::stop_source(std::nostopstate)});
        }
        const SubmissionRing::Claim claim = ring_.try_claim(&id);
        if (claim == SubmissionRing::Claim::claimed) break;
        if (claim == SubmissionRing::Claim::closed) continue;  // refused above, in the next round
        // The ring is full: make room, or let its front be written.
        if (!drain_i()) lock.while_released([] { std::this_thread::yield(); });
        continue;
      }
      if (when_full == WhenFull::throw_error) throw_full();
      if (when_full == WhenFull::give_up || steady >= deadline) return std::nullopt;
      // Counted first, then the places looked at once more: a worker that
      // gives one back past the lock then sees this waiter.
      room_waiters_.fetch_add(1, std::memory_order_seq_cst);
      if (places_.full()) block_i(lock, room_cv_, deadline);
      room_waiters_.fetch_sub(1, std::memory_order_relaxed);
      steady = steady_now();
    }
    place.held = false;  // the task holds it now
    std::uint8_t flags = helper ? kHelperFlag : 0;
    if (clock == StartClock::due && settings == nullptr) {
      // Through the ring after all (the pool was full when it came): counted
      // as submitted when it leaves the ring.
      ring_.publish(id, std::move(fct), std::move(name), ns(steady), flags);
      wake_for_ring();
    } else {
      // Sleeping workers wait for the earliest start time (or 100 ms). Wake
      // one if this task is due, or sooner than every task of its clock.
      const bool sooner =
          clock == StartClock::due || !store_.has_waiting(clock) || start < store_.earliest(clock);
      if (settings != nullptr) {
        flags = kSeriesFlag | PendingStore::kRenewSeq;
        series_.add(id);
      }
      store_.add(id, clock, start, ns(steady), std::move(fct), std::move(name), flags,
                 PendingStore::seq_of(id));  // room reserved: does not throw
      ++(helper ? stats_.helpers_submitted : stats_.submitted);
      if (sooner && clock == StartClock::wall) next_wall_check_ = SteadyTime::min();
      // Before the id's slot is published: a worker past the lock takes a
      // later ticket only after this slot, and then sees the store's task.
      refresh_hint_i();
      ring_.publish_spent(id);  // the id is this task's; the task is in the store
      wake = sooner && claim_wake();
    }
  }
  if (wake) wake_one();
  return id;
}

std::optional<TaskId> Scheduler::post(Task& fct, std::string& name, SteadyTime steady, bool helper,
                                      WhenFull when_full) {
  std::uint64_t id;
  bool awaited = false;
  // Counts this submitter among the ring's waiters until it returns: close()
  // wakes them and waits for them, as for the callers of a blocking wait.
  struct Waiter {
    std::atomic<std::size_t>* count = nullptr;
    ~Waiter() {
      if (count != nullptr) count->fetch_sub(1, std::memory_order_release);
    }
  } waiter;
  for (;;) {
    const SubmissionRing::Claim claim = ring_.try_claim(&id);
    if (claim == SubmissionRing::Claim::claimed) break;
    if (claim == SubmissionRing::Claim::closed) {
      // Refused, with no id used: the ring was closed with the admission
      // already set, which the failed claim sees.
      places_.give();
      if (when_full == WhenFull::throw_error) throw_refused(admission());
      return std::nullopt;
    }
    // Full. A submitter from outside the pool waits for the workers to make
    // room, once; a task's submission does not wait for the other workers,
    // which are busy the same way. Nor does anyone while the store has due
    // tasks: the workers take those first, and the ring's front stands still.
    if (!awaited && t_scheduler != this &&
        store_clear_before_.load(std::memory_order_relaxed) != kMinTime) {
      awaited = true;
      ring_waiters_.fetch_add(1, std::memory_order_seq_cst);
      waiter.count = &ring_waiters_;
      const std::int64_t now = ns(steady_now());
      if (admission() == Admission::open &&
          ring_.await_room(now, kRoomPollNs, kFastTakes, kRoomSliceNs, now + kRoomWaitNs)) {
        continue;
      }
    }
    // Move the ring's tasks to the store.
    try {
      Lock lock(mutex_);
      if (!drain_i()) lock.while_released([] { std::this_thread::yield(); });
    } catch (...) {
      places_.give();  // the place this submission took
      throw;
    }
  }
  // Published (sequentially consistent) before the ledger and the lookouts
  // are read: a worker going to sleep or looking is seen here, or sees this
  // task when it looks once more.
  ring_.publish(id, std::move(fct), std::move(name), ns(steady), helper ? kHelperFlag : 0);
  wake_for_ring();
  return id;
}

bool Scheduler::drain_i() {
  // Workers past the lock take nothing from now on (the store has due tasks
  // that come before the ring's), so the tasks moved keep their order.
  store_clear_before_.store(kMinTime, std::memory_order_seq_cst);
  const std::uint64_t before = ring_.head();
  bool moved = true;
  while (moved) {
    store_.reserve_queued();  // throws here, before the front is taken
    moved = ring_.take_front(
        [](std::uint64_t, std::int64_t) { return true; },
        [this](std::uint64_t id, SubmissionRing::Entry& e, std::int64_t ready, std::uint8_t flags)
            VEXO_THREAD_ANNOTATION(no_thread_safety_analysis) {
              store_.add(id, StartClock::due, 0, ready, std::move(e.fct), std::move(e.name), flags,
                         PendingStore::seq_of(id));  // room reserved: does not throw
              left_ring(flags, stats_);
            });
  }
  refresh_hint_i();
  return ring_.head() != before;
}

void Scheduler::refresh_hint_i() {
  // A store task that became due at time t comes before the ring's tasks
  // submitted after t (their ready times), so the earliest start bounds
  // what may be taken past the lock; a due task in the store stops it. A
  // wall-clock start counts from the steady time at which the wall clock is
  // to be read again, which is never later than it can come.
  std::int64_t clear = kMaxTime;
  if (store_.has_due()) {
    clear = kMinTime;
  } else {
    if (store_.has_waiting(StartClock::steady)) clear = store_.earliest(StartClock::steady);
    if (store_.has_waiting(StartClock::wall)) clear = std::min(clear, ns(next_wall_check_));
  }
  store_clear_before_.store(clear, std::memory_order_seq_cst);
}

void Scheduler::throw_full() const {
  throw Error(tamu::cat("Cannot add task: Pending queue has reached capacity (", capacity_, ")"));
}

// --- Workers -------------------------------------------------------------------

void Scheduler::enter_worker(std::size_t worker) noexcept {
  t_scheduler = this;
  t_worker = worker;
}

bool Scheduler::on_worker(std::size_t* worker) const noexcept {
  if (t_scheduler != this) return false;
  *worker = t_worker;
  return true;
}

bool Scheduler::take_fast(Run& run) {
  RunningSet::Worker& me = running_.worker(run.worker_);
  const bool ended = run.active_;
  bool took;
  {
    std::lock_guard<RunningSet::SpinLock> guard(me.mutex);
    SteadyTime now;
    if (ended) {
      end_run(run, me.totals);
      now = run.ended_;
    } else {
      now = steady_now();
    }
    took = ring_.take_front(
        [this](std::uint64_t, std::int64_t ready) {
          return ready < store_clear_before_.load(std::memory_order_seq_cst);
        },
        [&](std::uint64_t id, SubmissionRing::Entry& e, std::int64_t ready, std::uint8_t flags) {
          run.task_ = std::move(e.fct);
          SubmissionRing::move_name(run.name_, e.name);
          left_ring(flags, me.totals);
          begin_run(run, id, flags, ready, now, me.totals);
        });
  }
  if (ended || took) ended_unlocked();
  if (!took) return false;
  run.tickets_seen_ = ring_.tail();
  return true;
}

void Scheduler::notify_waiters(bool done, bool room) {
  Lock lock(mutex_);
  if (done) done_cv_.notify_all();
  if (room) room_cv_.notify_all();
}

bool Scheduler::next(Run& run, Task& spent, bool sleep) {
  const bool ran = run.active_;
  const std::size_t worker = run.worker_;
  // A plain task's callable is destroyed before its end is recorded, with no
  // lock held, and before this worker looks for its next task: the
  // destructor may submit, and a wake-up must not be left to a worker that
  // is still busy with it.
  const bool fast = !(ran && run.series_) && !stopped_.load(std::memory_order_relaxed);
  if (fast && ran) run.task_.reset();
  lookouts_.start(worker);
  if (fast && take_fast(run)) {
    // Passes on a wake-up left to this look if tasks are left. A worker that
    // woke sleepers for every task it took would keep more threads runnable
    // than there are cores.
    end_look(worker);
    return true;
  }
  Lock lock(mutex_);
  bool owed = false;  // a wake-up left to this look
  SteadyTime now;
  // A worker that just ran a task while tasks were being submitted spins
  // for the next one before it sleeps: a stream of submissions then costs
  // no wake-up at all. One that was woken, or whose task ran with no
  // submission meanwhile (a series, a sporadic task), sleeps at once, so a
  // pool that is mostly idle spends no more CPU than before.
  int spins = 0;
  if (ran) {
    if (run.active_) finish_i(run, spent, false);  // a series' run, or any once stopping
    now = run.ended_;
    if (ring_.tail() != run.tickets_seen_) spins = kSpinRounds;
  } else {
    now = steady_now();
  }
  for (;;) {
    if (stopping_) {
      (void)lookouts_.end(worker);
      return false;
    }
    if (take_i(run, now)) break;
    if (spent) {
      // Destroy the last task's callable before sleeping, without the lock
      // and not looking (see above).
      owed = lookouts_.end(worker) || owed;
      lock.unlock();
      spent.reset();
      lock.lock();
      lookouts_.start(worker);
    } else if (sleep && spins > 0) {
      --spins;
      if (!spin_i(lock)) spins = 0;
    } else if (sleep) {
      // A wake-up left to this look is taken over by the sleep: it looks at
      // the ring once more before it parks.
      (void)lookouts_.end(worker);
      sleep_i(lock);
      owed = true;  // a woken worker passes a wake-up on while tasks are left
      lookouts_.start(worker);
    } else {
      lock.unlock();
      end_look(worker, owed);
      return false;
    }
    now = steady_now();
  }
  // More work may be due: pass a wake-up on, so that the store's due tasks
  // get every idle worker going. For the ring's, only a worker that was
  // woken or that a submission left its wake-up to passes one on (see
  // wake_for_ring()): one wake-up in flight at a time, so that a stream of
  // submissions wakes no more threads than it keeps busy.
  run.tickets_seen_ = ring_.tail();
  const bool wake_another = ledger_.any_unwoken() && store_.has_due() && claim_wake();
  lock.unlock();
  if (wake_another) wake_one();
  end_look(worker, owed);
  return true;
}

void Scheduler::end(Run& run) noexcept {
  Task spent;  // destroyed after the lock is released
  Lock lock(mutex_);
  finish_i(run, spent, run.in_call_);
}

void Scheduler::stop_workers() {
  Lock lock(mutex_);
  stopping_ = true;
  stopped_.store(true, std::memory_order_relaxed);
  parked_.bump();
  parked_.wake_all();
}

PendingStore::Seq Scheduler::renewed_seq_i(std::int64_t became_due) {
  // Behind every task submitted before the run became due, ahead of every
  // later one: the first task submitted later, in the store's FIFO (where a
  // full ring's tasks went) or else in the ring, or else the next id.
  TaskId next_id = ring_.tail();
  if (const PendingStore::Seq seq = store_.fifo_seq_after(became_due); seq != 0) {
    next_id = (seq >> PendingStore::kSeqShift) - 1;
  } else {
    ring_.for_each_live([&](std::uint64_t id) {
      if (ring_.ready(id) <= became_due) return true;
      next_id = id;
      return false;
    });
  }
  if (renewed_for_id_ != next_id) {
    renewed_for_id_ = next_id;
    renewed_count_ = 0;
  }
  // Between the last task submitted and the next one; past 4095 renewals
  // between two submissions, the later ones tie.
  constexpr std::uint64_t kMost = (std::uint64_t{1} << PendingStore::kSeqShift) - 1;
  if (renewed_count_ < kMost) ++renewed_count_;
  return (next_id << PendingStore::kSeqShift) + renewed_count_;
}

void Scheduler::promote_i(SteadyTime now) {
  // A busy worker reads the wall clock only when a wall-clock start may have
  // come, judged by the steady clock, and at least every kBusyWallCheck.
  std::int64_t wall = kMinTime;
  if (store_.has_waiting(StartClock::wall) && now >= next_wall_check_) {
    wall = wall_now().time_since_epoch().count();
    const std::int64_t until = sub_sat(store_.earliest(StartClock::wall), wall);
    next_wall_check_ =
        steady_add(now, Duration(std::clamp<std::int64_t>(until, 0, kBusyWallCheck.count())));
  }
  if (wall != kMinTime ||
      (store_.has_waiting(StartClock::steady) && store_.earliest(StartClock::steady) <= ns(now))) {
    // Only a series' runs are renewed, each from the start it became due at.
    // (The store calls back with the lock still held, which the analysis
    // cannot follow into the callback.)
    store_.promote(wall, ns(now),
                   [this](std::int64_t became_due) VEXO_THREAD_ANNOTATION(
                       no_thread_safety_analysis) { return renewed_seq_i(became_due); });
  }
  refresh_hint_i();
}

[[gnu::always_inline]] inline bool Scheduler::take_i(Run& run, SteadyTime now) {
  if (store_.has_waiting(StartClock::wall) || store_.has_waiting(StartClock::steady)) {
    promote_i(now);
  }
  // The ring's front, unless the store's first due task is earlier.
  const PendingStore::Seq first_due =
      store_.has_due() ? store_.first_due_seq() : std::numeric_limits<PendingStore::Seq>::max();
  if (ring_.take_front([first_due](std::uint64_t id,
                                   std::int64_t) { return PendingStore::seq_of(id) < first_due; },
                       [&](std::uint64_t id, SubmissionRing::Entry& e, std::int64_t ready,
                           std::uint8_t flags) VEXO_THREAD_ANNOTATION(no_thread_safety_analysis) {
                         run.task_ = std::move(e.fct);
                         SubmissionRing::move_name(run.name_, e.name);
                         left_ring(flags, running_.worker(run.worker_).totals);
                         start_i(run, id, flags, ready, now);
                       })) {
    return true;
  }
  if (!store_.has_due()) return false;
  std::int64_t ready = 0;
  std::uint8_t flags = 0;
  const TaskId id = store_.take(&run.task_, &run.name_, &flags, &ready);
  refresh_hint_i();
  start_i(run, id, flags, ready, now);
  return true;
}

bool Scheduler::take_id_i(Run& run, TaskId id, SteadyTime now) {
  if (series_.find(id) != nullptr) return false;  // a series is never run in place
  promote_i(now);
  // A run in place stacks on the waiting one: room first, so that the task
  // never leaves the queue to be lost by a failed allocation.
  running_.reserve_one(run.worker_);
  if (SubmissionRing::Entry* e = ring_.take(id)) {
    run.task_ = std::move(e->fct);
    SubmissionRing::move_name(run.name_, e->name);
    const std::uint8_t flags = ring_.flags(id);
    const std::int64_t ready = ring_.ready(id);
    ring_.spend(id);  // the front passes over it
    left_ring(flags, running_.worker(run.worker_).totals);
    start_i(run, id, flags, ready, now);
    return true;
  }
  PendingTask next;
  std::int64_t ready = 0;
  if (!store_.take_due(id, &next, &ready)) return false;
  refresh_hint_i();
  run.task_ = std::move(next.fct);
  run.name_ = std::move(next.name);
  start_i(run, id, next.flags, ready, now);
  return true;
}

[[gnu::always_inline]] inline void Scheduler::begin_run(Run& run, TaskId id, std::uint8_t flags,
                                                        std::int64_t ready, SteadyTime now,
                                                        RunTotals& totals) noexcept {
  run.helper_ = (flags & kHelperFlag) != 0;
  if (!run.helper_) {
    const Duration wait(std::max<std::int64_t>(0, ns(now) - ready));
    totals.total_queue_wait += wait;
    totals.max_queue_wait = std::max(totals.max_queue_wait, wait);
  }
  run.id_ = id;
  run.series_ = (flags & kSeriesFlag) != 0;
  if (!run.series_) places_.give();  // a series keeps its place during its runs
  run.failed_ = false;
  run.in_call_ = false;
  run.started_ = now;
  if (!run.series_ && run.task_.takes_stop_token()) {
    run.stop_ = std::stop_source();  // tasks that take no token pay nothing
    run.token_ = run.stop_.get_token();
  }
  running_.push(run.worker_, RunningEntry{id, &run.name_, run.series_, &run.stop_});
  run.active_ = true;
}

[[gnu::always_inline]] inline void Scheduler::end_run(Run& run, RunTotals& totals) noexcept {
  running_.pop(run.worker_, &run.name_);
  run.active_ = false;
  if (run.stop_.stop_possible()) {
    run.stop_ = std::stop_source(std::nostopstate);
    run.token_ = std::stop_token();
  }
  if (run.helper_) {
    ++totals.helpers_completed;  // its members' time is not a task's
  } else {
    const Duration run_time(std::max<std::int64_t>(0, ns(run.ended_) - ns(run.started_)));
    totals.total_run_time += run_time;
    totals.max_run_time = std::max(totals.max_run_time, run_time);
    ++totals.completed;
    if (run.failed_) ++totals.failed;
  }
}

[[gnu::always_inline]] inline void Scheduler::start_i(Run& run, TaskId id, std::uint8_t flags,
                                                      std::int64_t ready, SteadyTime now) {
  begin_run(run, id, flags, ready, now, running_.worker(run.worker_).totals);
  if (run.series_) {
    Series& s = *series_.find(id);
    series_.start_run(s);
    s.scheduled = SteadyTime(Duration(ready));
    if (s.stop.stop_possible()) {
      run.stop_ = s.stop;
      run.token_ = run.stop_.get_token();
    }
  }
  room_made_i();
}

[[gnu::always_inline]] inline void Scheduler::finish_i(Run& run, Task& spent, bool forced) {
  end_run(run, running_.worker(run.worker_).totals);
  if (run.series_) {
    Series& s = *series_.find(run.id_);
    series_.end_run(s);
    if (s.ended || forced) {
      // Ended during the run, or its thread is gone with the run: no more runs.
      series_.erase(run.id_);
      places_.give();
      spent = std::move(run.task_);
      room_made_i();
    } else {
      requeue_i(s, run);
      if (run.task_) spent = std::move(run.task_);
    }
  } else {
    spent = std::move(run.task_);
  }
  ended_i();
}

// Queues the next run of a series; its callable and name go back to the store.
void Scheduler::requeue_i(Series& s, Run& run) {
  const std::int64_t period = s.period.count();
  const std::int64_t ended = ns(run.ended_);
  std::int64_t next;
  if (s.mode == Recurrence::fixed_delay) {
    next = add_sat(ended, period);
  } else {
    // The first start on the grid first + k period after the end of the
    // run: a late run skips the starts it missed, and the next run never
    // starts in the same instant as the last one ended.
    next = add_sat(ns(s.scheduled), period);
    if (next <= ended) {
      const std::int64_t behind = ended - next;
      next = add_sat(next, mul_sat(behind / period + 1, period));
    }
  }
  s.scheduled = SteadyTime(Duration(next));
  try {
    store_.add(run.id_, StartClock::steady, next, next, std::move(run.task_), std::move(run.name_),
               kSeriesFlag | PendingStore::kRenewSeq);
  } catch (const std::bad_alloc&) {
    series_.erase(run.id_);  // no room to queue it: the series ends
    places_.give();
    room_made_i();
    return;
  }
  refresh_hint_i();
  // A worker asleep until a later start must look again.
  if (store_.earliest(StartClock::steady) == next && claim_wake()) wake_one();
}

// Sleeps until a notification, the earliest start time, or (while a task
// with a wall-clock start is pending) 100 ms, whichever comes first.
void Scheduler::sleep_i(Lock& lock) {
  const SteadyTime deadline = next_start_i();
  const std::uint32_t seen = parked_.value();
  ledger_.going_to_sleep();
  // A submitter that published before the ledger said so is seen here; one
  // that published later sees this sleeper and wakes it (see post()).
  if (!ring_.front_published()) {
    lock.while_released(
        [&] { parked_.park(seen, deadline == kSteadyNever ? INT64_MAX : ns(deadline)); });
  }
  ledger_.woke_up();
}

SteadyTime Scheduler::next_start_i() const {
  SteadyTime deadline = kSteadyNever;
  const bool wall = store_.has_waiting(StartClock::wall);
  const bool steady = store_.has_waiting(StartClock::steady);
  if (wall || steady) {
    const SteadyTime now = steady_now();
    if (steady) {
      deadline = std::max(now, SteadyTime(Duration(store_.earliest(StartClock::steady))));
    }
    if (wall) {
      // The wall clock may stand anywhere, also before 1970: saturate, then
      // clamp the wait to [0, 100 ms].
      const std::int64_t until =
          sub_sat(store_.earliest(StartClock::wall), wall_now().time_since_epoch().count());
      const Duration wait(std::clamp<std::int64_t>(until, 0, kMaxWallWait.count()));
      deadline = std::min(deadline, now + wait);
    }
  }
  return deadline;
}

bool Scheduler::spin_i(Lock& lock) {
  // One core is left to whoever submits: spinners beyond that would only
  // take the CPU that the submissions they wait for need.
  static const std::uint32_t most = [] {
    const unsigned cores = std::thread::hardware_concurrency();
    return cores > 1 ? cores - 1 : 1u;
  }();
  if (spinning_.load(std::memory_order_relaxed) >= most) return false;
  spinning_.fetch_add(1, std::memory_order_seq_cst);
  bool posted = false;
  lock.while_released([&] {
    for (int i = 0; i < kSpinPauses && !posted; ++i) {
      spin_pause();
      posted = ring_.front_published();
    }
  });
  spinning_.fetch_sub(1, std::memory_order_seq_cst);
  return posted;
}

// --- Waits -----------------------------------------------------------------------

bool Scheduler::block_i(Lock& lock, std::condition_variable& cv, SteadyTime deadline) {
  ++blocked_;
  lock.wait_until(cv, deadline);
  --blocked_;
  if (admission() != Admission::closing) return true;
  if (blocked_ == 0) closed_cv_.notify_all();
  return false;
}

Scheduler::WaitResult Scheduler::wait(std::optional<TaskId> id, SteadyTime deadline, Run* help) {
  Lock lock(mutex_);
  if (admission() == Admission::closing) return WaitResult::closing;
  std::size_t worker = 0;
  if (on_worker(&worker) && running_.depth(worker) > 0) {
    if (!id) {
      throw Error("Cannot wait for the pool to be idle from one of its own tasks");
    }
    if (running_.on_stack(worker, *id)) {
      throw Error(tamu::cat("Cannot wait for task ", *id, " from inside that task"));
    }
  } else {
    help = nullptr;  // only a worker runs a task in place
  }
  // Counted before looking (see ended_unlocked()).
  std::atomic<std::size_t>& waiters = id ? id_waiters_ : idle_waiters_;
  waiters.fetch_add(1, std::memory_order_seq_cst);
  struct Leave {
    std::atomic<std::size_t>& waiters;
    ~Leave() { waiters.fetch_sub(1, std::memory_order_relaxed); }
  } leave{waiters};
  const auto waiting = [&]() VEXO_THREAD_ANNOTATION(no_thread_safety_analysis) {
    const RunningSet::Snapshot all(running_);
    return id ? pending_or_running_i(*id, all) : !idle_i(all);
  };
  while (waiting()) {
    SteadyTime until = deadline;
    if (help != nullptr && pending_i(*id)) {
      if (take_id_i(*help, *id, steady_now())) return WaitResult::run_in_place;
      // Not due yet: look again when the next start time comes, since this
      // worker may be the only one that could run it.
      until = std::min(until, next_start_i());
    }
    if (deadline != kSteadyNever && steady_now() >= deadline) return WaitResult::timed_out;
    if (!block_i(lock, done_cv_, until)) {
      return WaitResult::closing;
    }
  }
  return WaitResult::done;
}

// --- Removal and stop ---------------------------------------------------------------

std::size_t Scheduler::helpers_in(const std::vector<PendingTask>& tasks) noexcept {
  return static_cast<std::size_t>(
      std::count_if(tasks.begin(), tasks.end(),
                    [](const PendingTask& t) { return (t.flags & kHelperFlag) != 0; }));
}

void Scheduler::removed_i(std::size_t count, std::size_t helpers) {
  stats_.removed += count - helpers;
  stats_.helpers_removed += helpers;
  room_made_i();
  ended_i();
}

bool Scheduler::remove_i(TaskId id, Task& removed) {
  if (SubmissionRing::Entry* e = ring_.take(id)) {
    removed = std::move(e->fct);
    const std::uint8_t flags = ring_.flags(id);
    ring_.spend(id);
    left_ring(flags, stats_);
    places_.give();
    removed_i(1, (flags & kHelperFlag) != 0 ? 1 : 0);
    return true;
  }
  PendingTask out;
  if (store_.remove(id, &out)) {
    refresh_hint_i();
    if ((out.flags & kSeriesFlag) != 0) series_.erase(id);
    places_.give();
    removed = std::move(out.fct);
    removed_i(1, (out.flags & kHelperFlag) != 0 ? 1 : 0);
    return true;
  }
  // A series during a run: that run finishes, no other starts (and gives
  // back the series' place).
  Series* s = series_.find(id);
  if (s == nullptr || s->ended) return false;
  s->ended = true;
  removed_i(1);
  return true;
}

bool Scheduler::remove(TaskId id, Task& removed) {
  Lock lock(mutex_);
  return remove_i(id, removed);
}

// Moves every pending task, of the ring and of the store, to `discarded`.
void Scheduler::clear_i(std::vector<PendingTask>& discarded) {
  const std::size_t before = discarded.size();
  // Room for the whole ring first: an entry taken out of turn must not be
  // left half-moved.
  discarded.reserve(before + ring_.size());
  ring_.for_each_live([&](std::uint64_t t) VEXO_THREAD_ANNOTATION(no_thread_safety_analysis) {
    if (SubmissionRing::Entry* e = ring_.take(t)) {
      discarded.push_back(PendingTask{std::move(e->fct), std::move(e->name), ring_.flags(t)});
      ring_.spend(t);
      left_ring(discarded.back().flags, stats_);
    }
    return discarded.size() - before < ring_.size();
  });
  store_.clear(discarded);
  refresh_hint_i();
  places_.give(discarded.size() - before);
}

std::size_t Scheduler::remove_all(std::vector<Task>& removed) {
  std::vector<PendingTask> discarded;
  Lock lock(mutex_);
  clear_i(discarded);
  std::size_t count = discarded.size() + series_.end_all();
  removed.reserve(removed.size() + discarded.size());
  for (PendingTask& t : discarded) removed.push_back(std::move(t.fct));
  removed_i(count, helpers_in(discarded));
  return count;
}

bool Scheduler::request_stop(TaskId id, Task& removed) {
  std::stop_source stop(std::nostopstate);
  {
    Lock lock(mutex_);
    if (pending_i(id)) return remove_i(id, removed);
    const RunningSet::Snapshot all(running_);
    const RunningEntry* e = running_.find(id, all);
    if (e == nullptr) return false;
    if (e->series) {
      Series& s = *series_.find(id);
      if (!s.ended) {
        s.ended = true;
        removed_i(1);
      }
    } else if (!e->stop->stop_possible()) {
      return false;  // takes no token: cannot be asked
    }
    stop = *e->stop;
  }
  // Stop callbacks run here, with no lock held.
  if (stop.stop_possible()) stop.request_stop();
  return true;
}

void Scheduler::shut(std::vector<Task>& removed) {
  Lock lock(mutex_);
  if (admission() != Admission::open) return;
  admission_.store(Admission::shut, std::memory_order_seq_cst);
  ring_.close();  // submissions that claimed their id before land
  std::vector<TaskId> ids;
  ids.reserve(series_.size());
  removed.reserve(removed.size() + series_.size());
  series_.for_each([&ids](TaskId id, const Series&) { ids.push_back(id); });
  for (const TaskId id : ids) {
    Task fct;
    if (remove_i(id, fct) && fct) removed.push_back(std::move(fct));
  }
  if (room_waiters_ > 0) room_cv_.notify_all();
}

void Scheduler::close(std::vector<Task>& removed) {
  std::vector<std::stop_source> stops;
  std::vector<PendingTask> discarded;
  {
    Lock lock(mutex_);
    admission_.store(Admission::closing, std::memory_order_seq_cst);
    // Submissions that claimed their id before the refusal land; wait for
    // them, then take everything.
    ring_.await_published(ring_.close());
    clear_i(discarded);
    const std::size_t helpers = helpers_in(discarded);
    stats_.helpers_removed += helpers;
    stats_.removed += discarded.size() - helpers + series_.end_all();
    {
      const RunningSet::Snapshot all(running_);
      running_.for_each(
          [&stops](const RunningEntry& e) {
            if (e.stop->stop_possible()) stops.push_back(*e.stop);
          },
          all);
    }
    done_cv_.notify_all();
    room_cv_.notify_all();
    while (blocked_ > 0) lock.wait_until(closed_cv_, kSteadyNever);
    // Submitters waiting for room in the ring find it closed once woken, and
    // leave without the lock or after one move of an empty ring under it.
    ring_.wake_room_waiters();
    lock.while_released([this] {
      while (ring_waiters_.load(std::memory_order_acquire) > 0) std::this_thread::yield();
    });
  }
  removed.reserve(removed.size() + discarded.size());
  for (PendingTask& t : discarded) removed.push_back(std::move(t.fct));
  for (std::stop_source& s : stops) s.request_stop();
}

// --- Queries -------------------------------------------------------------------------

bool Scheduler::is_empty() const {
  Lock lock(mutex_);
  return empty_i();
}
bool Scheduler::is_full() const { return places_.full(); }
bool Scheduler::is_idle() const {
  Lock lock(mutex_);
  const RunningSet::Snapshot all(running_);
  return idle_i(all);
}
bool Scheduler::is_pending(TaskId id) const {
  Lock lock(mutex_);
  return pending_i(id);
}
bool Scheduler::is_running(TaskId id) const {
  Lock lock(mutex_);
  const RunningSet::Snapshot all(running_);
  return running_.find(id, all) != nullptr;
}
bool Scheduler::is_pending_or_running(TaskId id) const {
  Lock lock(mutex_);
  const RunningSet::Snapshot all(running_);
  return pending_or_running_i(id, all);
}
std::size_t Scheduler::num_pending() const {
  Lock lock(mutex_);
  std::size_t n = store_.size();
  ring_.for_each_live([&n](std::uint64_t) {
    ++n;
    return true;
  });
  return n;
}
Stats Scheduler::stats() const {
  Lock lock(mutex_);
  const RunningSet::Snapshot all(running_);
  Stats s = stats_;
  running_.add_totals(s, all);
  // The ring's tasks are counted as submitted when they leave it.
  ring_.for_each_live([this, &s](std::uint64_t t) {
    left_ring(ring_.flags(t), s);
    return true;
  });
  return s;
}

bool Scheduler::valid() const {
  Lock lock(mutex_);
  const RunningSet::Snapshot all(running_);
  if (!store_.valid() || store_.size() + series_.running() > capacity_) return false;
  // Each pending task and each series holds one place (nothing is in flight
  // when a test asks).
  std::size_t in_ring = 0;
  ring_.for_each_live([&in_ring](std::uint64_t) {
    ++in_ring;
    return true;
  });
  if (places_.bounded() && places_.used() != store_.size() + series_.running() + in_ring) {
    return false;
  }
  // Copied out first: the analysis does not see the lock inside lambdas.
  std::vector<std::pair<TaskId, bool>> entries;  // running: id, series
  running_.for_each([&entries](const RunningEntry& e) { entries.emplace_back(e.id, e.series); },
                    all);
  struct SeriesState {
    TaskId id;
    bool running, ended;
  };
  std::vector<SeriesState> series;
  series_.for_each([&series](TaskId id, const Series& s) {
    series.push_back({id, s.running, s.ended});
  });
  std::size_t running_series = 0;
  bool ok = true;
  for (const auto& [id, is_series] : entries) {
    if (is_series) ++running_series;
    if (pending_i(id)) ok = false;  // pending and running at once
  }
  // A task is in one place.
  std::vector<TaskId> in_ring_ids;
  ring_.for_each_live([&in_ring_ids](std::uint64_t id) {
    in_ring_ids.push_back(id);
    return true;
  });
  for (const TaskId id : in_ring_ids) {
    if (store_.contains(id)) ok = false;
  }
  for (const SeriesState& s : series) {
    // A series is in a run, or pending; never both, never neither.
    if (s.running != (running_.find(s.id, all) != nullptr)) ok = false;
    if (s.running == store_.contains(s.id)) ok = false;
    if (s.ended && !s.running) ok = false;
  }
  return ok && entries.size() == running_.size(all) && running_series == series_.running();
}

}  // namespace vexo::util::detail
