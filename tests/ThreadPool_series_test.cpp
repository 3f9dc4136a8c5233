// Start times and recurring series: due order, delays, wall-clock and steady starts (with this
// process's wall clock moved), fixed rate and fixed delay.
#include <gtest/gtest.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "pool_test_support.hpp"
#include "tamu/cat.hpp"
#include "test_support.hpp"
#include "vexo/util/ThreadPool.hpp"

// The wall clock of this process, shifted by g_wall_shift_ns: every call of
// clock_gettime (std::chrono's clocks included) comes here. The real time
// comes from the system call, so nothing is looked up while the process
// starts.
#include "pool_test_names.hpp"

namespace {
std::atomic<std::int64_t> g_wall_shift_ns{0};
}
extern "C" int clock_gettime(clockid_t clock, struct timespec* ts) noexcept {
  const long rc = syscall(SYS_clock_gettime, clock, ts);
  if (rc == 0 && clock == CLOCK_REALTIME) {
    const std::int64_t ns =
        static_cast<std::int64_t>(ts->tv_sec) * 1000000000 + ts->tv_nsec + g_wall_shift_ns.load();
    ts->tv_sec = ns / 1000000000;
    ts->tv_nsec = ns % 1000000000;
    if (ts->tv_nsec < 0) {
      ts->tv_nsec += 1000000000;
      --ts->tv_sec;
    }
  }
  return static_cast<int>(rc);
}

namespace {

using namespace vexo::test::pool_names;

TEST(ThreadPoolOrder, EarliestSubmittedDueTaskRunsFirst) {
  ThreadPool pool(1, 10);
  Gate release;
  Latch busy(1);
  std::mutex m;
  std::vector<std::string> order;
  auto record = [&](std::string s) {
    return [&, s] {
      std::lock_guard<std::mutex> lock(m);
      order.push_back(s);
    };
  };
  pool.add_task([&] {
    busy.count_down();
    release.wait();
  });
  busy.wait();
  pool.add_task(record("A"), Clock::now() - 1s, "A");
  pool.add_task(record("B"), Clock::now() - 10s, "B");       // older start, submitted later
  pool.add_task(record("C"), ThreadPool::TimePoint{}, "C");  // the epoch is due
  release.open();
  ASSERT_TRUE(eventually([&] { return pool.is_idle(); }));
  EXPECT_EQ(order, (std::vector<std::string>{"A", "B", "C"}));
}

TEST(ThreadPoolOrder, TaskNotYetDueDoesNotHoldBackLaterDueTasks) {
  ThreadPool pool(1, 10);
  std::atomic<bool> late_ran{false}, due_ran{false};
  const auto late = pool.add_task([&] { late_ran = true; }, 1h, "late");
  pool.add_task([&] { due_ran = true; }, "due");
  EXPECT_TRUE(eventually([&] { return due_ran.load(); }));
  EXPECT_FALSE(late_ran.load());
  EXPECT_TRUE(pool.is_pending(late));
  EXPECT_EQ(pool.num_pending(), 1u);
}

TEST(ThreadPoolOrder, DelayedTaskDoesNotStartEarly) {
  ThreadPool pool(2, 10);
  std::atomic<bool> ran{false};
  Clock::time_point started_at;
  const auto submitted_at = Clock::now();
  pool.add_task(
      [&] {
        started_at = Clock::now();
        ran = true;
      },
      ThreadPool::Duration(50ms), "delayed");
  ASSERT_TRUE(eventually([&] { return ran.load(); }));
  EXPECT_GE(started_at - submitted_at, 50ms);
}

TEST(ThreadPoolOrder, EarlierDelayedTaskWakesAWorkerWaitingForALaterOne) {
  ThreadPool pool(1, 10);
  std::atomic<int> ran{0};
  pool.add_task([&] { ++ran; }, ThreadPool::Duration(1h), "in an hour");
  std::this_thread::sleep_for(20ms);  // let the worker go to sleep on the late task
  pool.add_task([&] { ++ran; }, ThreadPool::Duration(30ms), "soon");
  EXPECT_TRUE(eventually([&] { return ran.load() == 1; }));
  EXPECT_EQ(pool.num_pending(), 1u);
}

TEST(ThreadPoolOrder, HugeDelaySaturatesInsteadOfOverflowing) {
  ThreadPool pool(1, 10);
  const auto id =
      pool.add_task([] { ADD_FAILURE() << "must not run"; }, ThreadPool::Duration::max(), "never");
  // The one worker has looked at the queue since, and passed over "never".
  pool.submit([] {}, "due").result.get();
  EXPECT_TRUE(pool.is_pending(id));
}

// Moves this process's wall clock for the lifetime of the object.
class WallClockShift {
 public:
  explicit WallClockShift(std::chrono::nanoseconds shift) { g_wall_shift_ns = shift.count(); }
  ~WallClockShift() { g_wall_shift_ns = 0; }
  WallClockShift(const WallClockShift&) = delete;
  WallClockShift& operator=(const WallClockShift&) = delete;
};

TEST(ThreadPoolClock, WallClockBefore1970) {
  // 1969-12-31T23:00Z
  const auto now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch());
  WallClockShift shift(-now - std::chrono::nanoseconds(1h));
  ASSERT_LT(Clock::now().time_since_epoch().count(), 0);
  ThreadPool pool(1, 10);
  pool.add_task([] {}, ThreadPool::TimePoint::max(), "never");
  std::atomic<bool> ran{false};
  pool.add_task([&] { ran = true; }, ThreadPool::Duration(10ms), "in 10 ms");
  EXPECT_TRUE(eventually([&] { return ran.load(); }));
  EXPECT_EQ(pool.num_pending(), 1u);  // and the destructor returns
}

TEST(ThreadPoolRecurring, RemovingASeriesDuringItsRunEndsIt) {
  ThreadPool pool(2, 1);
  Gate release;
  std::atomic<int> runs{0};
  Latch started(1);
  const auto id = pool.add_recurring(
      [&] {
        if (++runs == 1) {
          started.count_down();
          release.wait();
        }
      },
      ThreadPool::Duration(0), ThreadPool::Duration(1ms), "series");
  started.wait();
  EXPECT_TRUE(pool.is_running(id));
  EXPECT_FALSE(pool.is_pending(id));
  EXPECT_TRUE(pool.is_full());  // the series keeps its place during a run
  EXPECT_FALSE(pool.try_add_task([] {}).has_value());
  EXPECT_TRUE(pool.remove_pending_task(id));
  EXPECT_FALSE(pool.remove_pending_task(id));  // already ended
  release.open();
  EXPECT_TRUE(pool.wait(id));
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(runs.load(), 1);  // that run finished, no other started
  EXPECT_TRUE(pool.is_idle());
  EXPECT_FALSE(pool.is_full());
  EXPECT_EQ(error_message([&] { pool.add_recurring([] {}, {}, ThreadPool::Duration(0)); }),
            "Illegal period for recurring task: 0 ns");
}

TEST(ThreadPoolRecurring, AThrowingRunIsReportedAndTheSeriesGoesOn) {
  CaptureCerr captured;
  ThreadPool pool(1, 10);
  std::atomic<int> runs{0};
  const auto id = pool.add_recurring(
      [&] {
        if (++runs == 1) throw std::runtime_error("first run");
      },
      ThreadPool::Duration(0), ThreadPool::Duration(2ms), "flaky");
  ASSERT_TRUE(eventually([&] { return runs.load() >= 3; }));
  EXPECT_TRUE(pool.remove_pending_task(id));
  pool.wait(id);
  EXPECT_EQ(captured.text(), "Exception in task \"flaky\": first run\n");
  EXPECT_EQ(pool.stats().failed, 1u);
}

TEST(ThreadPoolRecurring, FixedRateSkipsMissedStartsAndFixedDelayWaitsAPeriod) {
  for (auto mode : {ThreadPool::Recurrence::fixed_rate, ThreadPool::Recurrence::fixed_delay}) {
    ThreadPool pool(2, 10);
    std::mutex m;
    std::vector<Steady::time_point> starts, ends;
    const auto submitted = Steady::now();
    const auto id = pool.add_recurring(
        [&] {
          const auto start = Steady::now();
          if (starts.empty()) std::this_thread::sleep_for(100ms);  // late: 3 starts missed
          std::lock_guard<std::mutex> lock(m);
          starts.push_back(start);
          ends.push_back(Steady::now());
        },
        ThreadPool::Duration(0), ThreadPool::Duration(30ms), "tick", mode);
    ASSERT_TRUE(eventually([&] {
      std::lock_guard<std::mutex> lock(m);
      return starts.size() >= 4;
    }));
    EXPECT_TRUE(pool.remove_pending_task(id));
    pool.wait(id);
    std::lock_guard<std::mutex> lock(m);
    for (std::size_t i = 1; i < starts.size(); ++i) {
      EXPECT_GE(starts[i], ends[i - 1]) << "run " << i;  // runs never overlap
      if (mode == ThreadPool::Recurrence::fixed_delay) {
        EXPECT_GE(starts[i] - ends[i - 1], 30ms);
      } else {
        // Lower bounds that a late start (a loaded machine) only exceeds: the
        // grid starts at or after `submitted`, the long first run ends 100 ms
        // in, so run i starts on grid point i + 3 or later. A burst of
        // catch-up runs after the long one would start sooner.
        EXPECT_GE(starts[i] - submitted, (static_cast<int>(i) + 3) * 30ms) << "run " << i;
      }
    }
  }
}

TEST(ThreadPoolClock, SteadyStartsIgnoreTheWallClock) {
  ThreadPool pool(2, 10);
  std::atomic<bool> steady_ran{false}, wall_ran{false};
  Steady::time_point steady_started;
  const auto submitted = Steady::now();
  pool.add_task(
      [&] {
        steady_started = Steady::now();
        steady_ran = true;
      },
      submitted + 60ms, "steady");
  pool.add_task([&] { wall_ran = true; }, Clock::now() + 1min, "wall");
  {
    WallClockShift shift(std::chrono::hours(1));  // the wall clock jumps an hour ahead
    EXPECT_TRUE(eventually([&] { return wall_ran.load(); }));
    EXPECT_TRUE(eventually([&] { return steady_ran.load(); }));
    EXPECT_GE(steady_started - submitted, 60ms);
  }
  // Set back an hour: a steady start stays where it was.
  WallClockShift shift(-std::chrono::nanoseconds(1h));
  steady_ran = false;
  const auto again = Steady::now();
  pool.add_task([&] { steady_ran = true; }, again + 30ms, "steady again");
  EXPECT_TRUE(eventually([&] { return steady_ran.load(); }));
  EXPECT_LT(Steady::now() - again, 20s);
}

TEST(ThreadPoolFaults, AFixedRateSeriesShorterThanItsRunDoesNotStarveOtherTasks) {
  ThreadPool pool(1, 10);
  std::atomic<long> runs{0};
  pool.add_recurring(
      [&] {
        runs.fetch_add(1);
        std::this_thread::sleep_for(50us);
      },
      0ns, 1ns, "busy");
  ASSERT_TRUE(eventually([&] { return runs.load() > 0; }));
  std::atomic<bool> ran{false};
  pool.add_task([&] { ran = true; }, "plain");
  EXPECT_TRUE(eventually([&] { return ran.load(); }));
  pool.remove_pending_tasks();
}

}  // namespace
