/// \file
/// Batches of tasks that are waited for together (TaskGroup), and loops run in parallel on a
/// pool (parallel_for).
#pragma once

#include <cstddef>
#include <memory>
#include <stop_token>
#include <string>
#include <type_traits>
#include <utility>

#include "vexo/util/ThreadPool.hpp"
#include "vexo/util/export.hpp"
#include "vexo/util/task.hpp"

namespace vexo::util {

namespace detail {
struct GroupState;

/// The body of a parallel loop: calls the caller's function on [begin, end).
using LoopBody = void (*)(void* context, std::size_t begin, std::size_t end);

/// Runs `body` over [first, last) on the calling thread and on helper tasks
/// of `pool`; see parallel_for().
VEXO_API void parallel_for_ranges(ThreadPool& pool, std::size_t first, std::size_t last,
                                  std::size_t grain, void* context, LoopBody body);
}  // namespace detail

/// TaskGroup runs a batch of callables on a pool and waits for all of them.
///
/// Its callables wait in a queue of the group's own, from which the pool's
/// workers take them through helper tasks named after the group (ordinary
/// pool tasks: they show in the pool's listings and statistics, each helper
/// running many of the group's callables), and from which wait() takes them
/// on the calling thread. So a group may be waited for from any thread,
/// inside the pool or outside it, without a deadlock: what no worker has
/// taken, the waiter runs itself.
///
/// Callables are invocable as `void()` or `void(std::stop_token)`; the token
/// is the group's, which cancel() signals. The first exception that a
/// callable throws is kept, and rethrown by wait(); later ones are dropped.
///
/// A callable that one of the group's own callables run()s goes instead to a
/// stack of the thread running that callable, which runs it next, newest
/// first (while its data is still in cache); the group's other threads,
/// finding the group's queue empty, take the oldest half of such a stack.
/// So members run in no particular order.
///
/// Batches do not hold up the pool's other tasks: between two members (after
/// its first), a helper looks whether an ordered task (any task of the pool
/// but another helper) is due, and if so puts back what it has not begun,
/// queues a helper behind that task and returns its worker to the pool; so
/// batch work delays such a task by at most one member's run per worker.
/// (When the pool's queue is full or closed, the helper goes on instead.)
/// The look costs a few loads per member, and while a task with a start time
/// is pending a read of the steady clock. A thread in wait() does not step
/// aside.
///
/// Costs: run() takes the group's lock once (from one of the group's own
/// callables: not at all, only the thread's own stack), and submits a pool
/// task only when it starts a helper (at most one per worker at a time); a
/// callable of at most 24 bytes is not allocated.
///
/// Thread safety: run(), cancel() and the waits may be called from any
/// thread at once, including from the group's own callables (which must not
/// wait for their own group). The group must outlive the calls made on it;
/// its destructor must not run while another thread calls it.
class TaskGroup {
 public:
  /// Makes an empty group on `pool`, whose helper tasks are named `name`
  /// ("task group" when empty). `pool` must outlive the group.
  VEXO_API explicit TaskGroup(ThreadPool& pool, std::string name = {});
  /// Cancels what has not started (cancel()), then waits for the rest; an
  /// exception kept for wait() is dropped.
  VEXO_API ~TaskGroup();
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;

  /// Queues `fct` (moved in) as a member of the group. If the pool can take
  /// no helper (its queue is full) and none is running, runs it on the
  /// calling thread instead, before returning: back-pressure without a
  /// deadlock. Throws std::bad_alloc; an exception of `fct` run here is kept
  /// for wait() like any other.
  template <class F>
  requires detail::TaskCallable<std::decay_t<F>>
  void run(F&& fct) { run_task(Task(std::forward<F>(fct))); }

  /// Runs the group's queued callables on the calling thread, then blocks
  /// until every callable of the group has ended, and rethrows the first
  /// exception one threw (once). Afterwards the group may be used again; a
  /// cancelled group is no longer cancelled.
  VEXO_API void wait();
  /// As wait(), but gives up after `timeout` (steady clock), returning false;
  /// a callable it runs itself runs to its end, whatever the timeout.
  VEXO_API bool wait_for(ThreadPool::Duration timeout);
  /// Removes the callables that have not started (they are destroyed without
  /// running) and signals the group's stop token to those running.
  VEXO_API void cancel();

 private:
  VEXO_API void run_task(Task&& fct);

  std::shared_ptr<detail::GroupState> state_;
};

/// Calls `fct(i)` for every i in [first, last), or `fct(begin, end)` on
/// sub-ranges that cover it when `fct` takes two std::size_t, on the calling
/// thread and on helper tasks of `pool` named "parallel_for", and returns
/// when every call has returned.
///
/// - The calling thread takes part, so the call finishes even when every
///   worker is busy, the pool's queue is full, or the call comes from a task
///   of the same pool (nested loops included).
/// - Sub-ranges are handed out from one counter, largest first (a share of
///   what remains), down to `grain` indexes (0: chosen from the range and the
///   worker count).
/// - At most one helper per core beside the calling thread is queued, and
///   none beyond the pool's workers. Helpers that have not started when the
///   range is done are removed; a helper that anyone removes counts as done,
///   so no helper outlives the call.
/// - A helper steps aside for a due ordered task between two sub-ranges, as a
///   TaskGroup's does between two members: it queues another helper behind
///   that task (while sub-ranges remain and the pool takes it) and returns its
///   worker to the pool. The calling thread does not step aside.
/// - The first exception that `fct` throws is rethrown once no more work is
///   being handed out and every helper has ended; ranges not yet begun are
///   skipped.
/// - A helper that cannot be queued (full queue, no memory) is left out. Only
///   the loop's small shared record may fail to allocate: std::bad_alloc is
///   then thrown before `fct` is first called.
/// Thread safety: `fct` is called from several threads at once.
template <class F>
void parallel_for(ThreadPool& pool, std::size_t first, std::size_t last, F&& fct,
                  std::size_t grain = 0) {
  using D = std::remove_reference_t<F>;
  if constexpr (std::is_invocable_v<D&, std::size_t, std::size_t>) {
    detail::parallel_for_ranges(pool, first, last, grain,
                                const_cast<void*>(static_cast<const void*>(&fct)),
                                [](void* context, std::size_t begin, std::size_t end) {
                                  (*static_cast<D*>(context))(begin, end);
                                });
  } else {
    static_assert(std::is_invocable_v<D&, std::size_t>,
                  "parallel_for needs fct(std::size_t) or fct(std::size_t, std::size_t)");
    detail::parallel_for_ranges(pool, first, last, grain,
                                const_cast<void*>(static_cast<const void*>(&fct)),
                                [](void* context, std::size_t begin, std::size_t end) {
                                  for (std::size_t i = begin; i < end; ++i)
                                    (*static_cast<D*>(context))(i);
                                });
  }
}

}  // namespace vexo::util
