// The pool's faults found in review, each case written to fail before its fix, and the contracts
// added beside them (close(), try_add_task_for(), a null function pointer to submit()). The
// scheduler is built into this test too, for the one case that needs its record of runs.
#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "pool_test_names.hpp"
#include "scheduler.hpp"  // the pool's private scheduler
#include "vexo/util/task_group.hpp"

namespace {

using namespace vexo::test::pool_names;
using vexo::test::expect_returns;
using vexo::util::Task;
using vexo::util::TaskGroup;

// A task that ends its thread: its run's end must be recorded before the
// worker that replaces it takes a task, since both use the same worker's
// place in the record of running tasks. First at the scheduler, where a
// late end is made by hand (it popped the replacement's live entry), then
// through the pool, where the dead task stayed listed as running.
TEST(ThreadPoolFaults, ATaskThatEndsItsThreadIsRecordedEndedBeforeItsReplacementRuns) {
  {
    vexo::util::detail::Scheduler scheduler(1, 10);
    for (const char* n : {"dying", "live"}) {
      Task fct([] {});
      std::string name = n;
      scheduler.add(fct, name, vexo::util::detail::StartClock::due, 0,
                    vexo::util::detail::Scheduler::WhenFull::throw_error);
    }
    Task spent;
    std::optional<vexo::util::detail::Run> dying(std::in_place, scheduler, 0);
    ASSERT_TRUE(scheduler.next(*dying, spent, false));
    vexo::util::detail::Run live(scheduler, 0);  // the replacement, on the same worker
    ASSERT_TRUE(scheduler.next(live, spent, false));
    dying.reset();  // the dying run's end, recorded late
    EXPECT_FALSE(scheduler.is_running(0));
    EXPECT_TRUE(scheduler.is_running(1));
    EXPECT_TRUE(scheduler.valid());
  }
  for (int round = 0; round < 40; ++round) {
    ThreadPool pool(1, 10);
    Gate release;
    std::atomic<bool> started{false};
    const auto exits = pool.add_task([] { pthread_exit(nullptr); }, "exits");
    const auto live = pool.add_task(
        [&] {
          started = true;
          release.wait();
        },
        "live");
    const bool live_started = eventually([&] { return started.load(); });
    const bool exit_ended = eventually([&] { return !pool.is_running(exits); });
    const bool live_running = pool.is_running(live);
    release.open();
    pool.wait_idle();
    ASSERT_TRUE(live_started && exit_ended && live_running)
        << "round " << round << ": the task that ended its thread is "
        << (exit_ended ? "no longer" : "still") << " listed as running, the live task "
        << (live_running ? "is" : "is not");
  }
}

// A task that waits for a child queued with a delay, on a pool whose only
// worker is the waiting one: the waiter runs the child once it is due (a
// wall-clock and a steady start) instead of blocking for ever.
TEST(ThreadPoolFaults, ATaskWaitingForADelayedChildOnOneWorkerRunsItWhenDue) {
  ThreadPool pool(1, 10);
  auto outer = pool.submit([&] {
    const auto me = std::this_thread::get_id();
    std::thread::id ran_on[2];
    const auto wall = pool.add_task([&] { ran_on[0] = std::this_thread::get_id(); }, 20ms, "wall");
    const bool wall_done = pool.wait(wall);
    const auto steady = pool.add_task([&] { ran_on[1] = std::this_thread::get_id(); },
                                      std::chrono::steady_clock::now() + 20ms, "steady");
    const bool steady_done = pool.wait(steady);
    return wall_done && steady_done && ran_on[0] == me && ran_on[1] == me;
  });
  expect_returns("a wait for a delayed child", [&] { EXPECT_TRUE(outer.result.get()); });
}

// A series' run that became due before a plain task was submitted runs
// first, whether or not a worker looked at the queue in between (here the
// only worker is busy until after both).
TEST(ThreadPoolFaults, ASeriesRunThatBecameDueFirstKeepsItsPlace) {
  ThreadPool pool(1, 10);
  Gate release;
  std::atomic<bool> started{false};
  pool.add_task([&] {
    started = true;
    release.wait();
  });
  ASSERT_TRUE(eventually([&] { return started.load(); }));
  std::mutex mutex;
  std::vector<std::string> order;
  const auto due_at = std::chrono::steady_clock::now() + 20ms;
  const auto series = pool.add_recurring(
      [&] {
        std::lock_guard<std::mutex> lock(mutex);
        order.emplace_back("series");
      },
      20ms, 1h, "series");
  std::this_thread::sleep_until(due_at + 10ms);  // the run is due now; the worker is busy
  pool.add_task([&] {
    std::lock_guard<std::mutex> lock(mutex);
    order.emplace_back("plain");
  });
  release.open();
  ASSERT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return order.size() == 2;
  }));
  EXPECT_EQ(order, (std::vector<std::string>{"series", "plain"}));
  pool.remove_pending_task(series);
}

// Queue waits as if another worker had taken the task: a wall-clock task
// waits from its start time, not from when a busy worker noticed it, and a
// task run in place by a waiter waits until then. Tasks discarded by the
// destructor count as removed; helper tasks count apart from tasks.
TEST(ThreadPoolFaults, StatisticsCountQueueWaitsRemovalsAndHelpers) {
  {
    ThreadPool pool(1, 10);
    Gate release;
    std::atomic<bool> started{false};
    pool.add_task([&] {
      started = true;
      release.wait();
    });
    ASSERT_TRUE(eventually([&] { return started.load(); }));
    pool.add_task([] {}, 10ms, "wall");
    std::this_thread::sleep_for(150ms);  // due for 140 ms while the worker is busy
    release.open();
    pool.wait_idle();
    EXPECT_GE(pool.stats().max_queue_wait, 100ms);
  }
  {
    ThreadPool pool(1, 10);
    pool.submit([&] {
          const auto child = pool.add_task([] {}, 10ms, "child");
          std::this_thread::sleep_for(150ms);  // the child is due, and waits
          pool.wait(child);                    // runs it in place
        })
        .result.get();
    EXPECT_GE(pool.stats().max_queue_wait, 100ms);
  }
  std::atomic<std::uint64_t> removed_seen{0};
  {
    ThreadPool pool(1, 10);
    std::atomic<bool> started{false};
    pool.add_task([&](std::stop_token token) {
      started = true;
      while (!token.stop_requested()) std::this_thread::sleep_for(1ms);
      removed_seen = pool.stats().removed;  // the destructor asks after discarding
    });
    ASSERT_TRUE(eventually([&] { return started.load(); }));
    for (int i = 0; i < 3; ++i) pool.add_task([] {});
    pool.add_recurring([] {}, 1h, 1h);
  }
  EXPECT_EQ(removed_seen.load(), 4u);
  {
    ThreadPool pool(2, 100);
    pool.add_task([] {});
    TaskGroup group(pool, "group");
    std::atomic<int> members{0};
    for (int i = 0; i < 100; ++i) group.run([&] { ++members; });
    group.wait();
    vexo::util::parallel_for(
        pool, 0, 1000, [](std::size_t) {}, 1);
    pool.wait_idle();
    const ThreadPool::Stats stats = pool.stats();
    EXPECT_EQ(members.load(), 100);
    EXPECT_EQ(stats.submitted, 1u);
    EXPECT_EQ(stats.completed, 1u);
    EXPECT_EQ(stats.removed, 0u);
    EXPECT_GE(stats.helpers_submitted, 1u);
    EXPECT_EQ(stats.helpers_completed + stats.helpers_removed, stats.helpers_submitted);
  }
}

// close(): later submissions are refused with a clear error, the pending
// tasks still run (a delayed one at its start), series end, and
// wait_idle() returns once the queue has run out.
TEST(ThreadPoolClose, RefusesSubmissionsRunsWhatIsPendingAndEndsSeries) {
  ThreadPool pool(1, 10);
  Gate release;
  std::atomic<bool> started{false};
  pool.add_task([&] {
    started = true;
    release.wait();
  });
  ASSERT_TRUE(eventually([&] { return started.load(); }));
  std::atomic<int> ran{0};
  pool.add_task([&] { ++ran; });
  pool.add_task([&] { ++ran; }, std::chrono::steady_clock::now() + 20ms);
  const auto series = pool.add_recurring([&] { ++ran; }, 1h, 1h);
  pool.close();
  pool.close();  // again: nothing more
  EXPECT_FALSE(pool.is_pending(series));
  EXPECT_EQ(error_message([&] { pool.add_task([] {}); }), "Cannot add task: the pool is closed");
  EXPECT_EQ(error_message([&] { pool.submit([] { return 1; }); }),
            "Cannot add task: the pool is closed");
  EXPECT_EQ(error_message([&] { pool.add_recurring([] {}, 1ms, 1ms); }),
            "Cannot add task: the pool is closed");
  Task kept([] {});
  EXPECT_FALSE(pool.try_add_task(std::move(kept)));
  EXPECT_FALSE(pool.try_add_task_for(std::move(kept), 1h));  // closed: does not wait
  EXPECT_TRUE(kept);                                         // still the caller's
  release.open();
  pool.wait_idle();
  EXPECT_EQ(ran.load(), 2);
  const ThreadPool::Stats stats = pool.stats();
  EXPECT_EQ(stats.submitted, 4u);
  EXPECT_EQ(stats.completed, 3u);
  EXPECT_EQ(stats.removed, 1u);
}

// A waiter for room in try_add_task_for() (the new name of add_task_wait()) is
// woken by close(); a null function pointer is refused by submit() before
// anything is queued.
TEST(ThreadPoolClose, WakesWaitersForRoomAndSubmitRefusesANullFunctionPointer) {
  ThreadPool pool(1, 1);
  Gate release;
  std::atomic<bool> started{false};
  pool.add_task([&] {
    started = true;
    release.wait();
  });
  ASSERT_TRUE(eventually([&] { return started.load(); }));
  pool.add_task([] {});  // the queue is full
  void (*null_function)() = nullptr;
  EXPECT_EQ(error_message([&] { pool.submit(null_function); }),
            "Cannot submit a null function pointer");
  std::promise<bool> added;
  std::thread waiter([&] { added.set_value(pool.add_task_wait([] {}, 1h).has_value()); });
  ASSERT_TRUE(eventually([&] { return pool.is_full(); }));
  pool.close();
  expect_returns("a wait for room after close()", [&] { EXPECT_FALSE(added.get_future().get()); });
  waiter.join();
  release.open();
  pool.wait_idle();
  EXPECT_EQ(pool.stats().submitted, 2u);
}

// A task waiting for a task running on another worker blocks until it ends:
// only the caller's own stack makes a cycle. Each wait's error is caught, so
// that a wait that wrongly throws fails the test instead of hanging it.
TEST(ThreadPoolHelp, WaitingForATaskOnAnotherWorkerIsNoCycle) {
  ThreadPool pool(2, 10);
  Gate started;
  Gate release;
  const auto busy = pool.add_task([&] {
    started.open();
    release.wait();
  });
  started.wait();
  struct Seen {
    std::string timed, untimed;
    bool timed_out = false, ended = false;
  };
  Gate checked;
  auto waiter = pool.submit([&] {
    Seen seen;
    seen.timed = error_message([&] { seen.timed_out = !pool.wait_for(busy, 1ms); });
    checked.open();  // `busy` runs until then
    seen.untimed = error_message([&] { seen.ended = pool.wait(busy); });
    return seen;
  });
  checked.wait();
  release.open();
  const Seen seen = waiter.result.get();
  EXPECT_EQ(seen.timed, "<no vexo::Error thrown>");
  EXPECT_TRUE(seen.timed_out);
  EXPECT_EQ(seen.untimed, "<no vexo::Error thrown>");
  EXPECT_TRUE(seen.ended);
}

// A callable whose move constructor does work (here: points at itself) but
// whose destructor is trivial must be moved by its move constructor.
TEST(ThreadPoolTask, ACallableThatIsTriviallyDestructibleButNotCopyableMovesByItsConstructor) {
  struct SelfPointing {
    SelfPointing* self;
    int* moves;
    explicit SelfPointing(int* m) : self(this), moves(m) {}
    SelfPointing(SelfPointing&& other) noexcept : self(this), moves(other.moves) { ++*moves; }
    SelfPointing& operator=(SelfPointing&&) = delete;
    bool operator()() const { return self == this; }
  };
  static_assert(std::is_trivially_destructible_v<SelfPointing>);
  static_assert(!std::is_trivially_copyable_v<SelfPointing>);
  int moves = 0;
  Task a(SelfPointing{&moves});
  Task b(std::move(a));
  Task c;
  c = std::move(b);
  ASSERT_NE(c.target<SelfPointing>(), nullptr);
  EXPECT_TRUE((*c.target<SelfPointing>())());
  EXPECT_GE(moves, 3);
  ThreadPool pool(1, 10);
  bool intact = false;
  struct Check {
    SelfPointing callable;
    bool* intact;
    void operator()() { *intact = callable(); }
  };
  static_assert(sizeof(Check) <= Task::kInlineSize);
  pool.add_task(Check{SelfPointing{&moves}, &intact});
  pool.wait_idle();
  EXPECT_TRUE(intact);
}

}  // namespace
