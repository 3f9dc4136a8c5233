// Waits on the pool: for a task, for idleness, in place of a worker (helping), and their end
// when the pool stops or is destroyed; cooperative stop.
#include <gtest/gtest.h>
#include <pthread.h>
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
#include <utility>
#include <vector>

#include "pool_test_names.hpp"
#include "pool_test_support.hpp"
#include "tamu/cat.hpp"
#include "test_support.hpp"
#include "vexo/util/ThreadPool.hpp"

namespace {

using namespace vexo::test::pool_names;
using vexo::util::Task;

TEST(ThreadPoolWait, WaitsEndAndWaitsFromInsideATaskThrow) {
  ThreadPool pool(2, 10);
  EXPECT_TRUE(pool.wait(12345));  // never issued: at once
  std::atomic<bool> slow_done{false};
  const auto slow = pool.add_task([&] {
    std::this_thread::sleep_for(30ms);
    slow_done = true;
  });
  EXPECT_TRUE(pool.wait(slow));
  EXPECT_TRUE(slow_done.load());
  const auto later = pool.add_task([] {}, ThreadPool::Duration(1h));
  EXPECT_FALSE(pool.wait_for(later, ThreadPool::Duration(20ms)));
  EXPECT_FALSE(pool.wait_idle_for(ThreadPool::Duration(20ms)));  // tasks due later count
  std::thread remover([&] {
    std::this_thread::sleep_for(20ms);
    pool.remove_pending_task(later);
  });
  EXPECT_TRUE(pool.wait(later));  // removed
  remover.join();
  pool.wait_idle();
  // From inside a task, a wait that could only end when the task ends throws.
  auto inner = pool.submit([&pool] {
    std::string messages = error_message([&] { pool.wait_idle(); });
    const auto self = pool.get_running_task_ids()[0];
    messages += '|';  // appended apart: g++ 12 at -O3 takes "|" + temporary for an overlapping copy
    messages += error_message([&] { pool.wait(self); });
    return messages;
  });
  EXPECT_EQ(inner.result.get(),
            "Cannot wait for the pool to be idle from one of its own tasks|"
            "Cannot wait for task " +
                std::to_string(inner.id) + " from inside that task");
}

TEST(ThreadPoolFaults, DestructionEndsWaitsOfTasksAndOfOtherThreads) {
  // A running task waits for a task that is not due; three other threads
  // block in wait(), add_task_wait() and wait_idle(). Destruction must wake
  // all of them and wait until they have left, without hanging.
  auto owner = std::make_unique<ThreadPool>(1, 2);
  ThreadPool* pool = owner.get();  // read by the threads while `owner` is reset
  const auto later = pool->add_task([] {}, 1h, "later");
  Gate task_waits;
  std::atomic<int> task_result{-1};
  pool->add_task(
      [&] {
        task_waits.open();
        task_result = pool->wait(later) ? 1 : 0;
      },
      "waiter");
  task_waits.wait();
  pool->add_task([] {}, 1h, "fills the queue");
  std::atomic<int> wait_result{-1}, add_result{-1}, idle_returned{0};
  std::thread waits([&] { wait_result = pool->wait(later) ? 1 : 0; });
  std::thread adds([&] { add_result = pool->add_task_wait([] {}, 1h, "blocked").has_value(); });
  std::thread idles([&] {
    pool->wait_idle();
    idle_returned = 1;
  });
  // Give the three threads ample time to block before destruction begins.
  std::this_thread::sleep_for(500ms);
  EXPECT_TRUE(finishes_within([&] { owner.reset(); }, 60s));
  waits.join();
  adds.join();
  idles.join();
  EXPECT_EQ(task_result, 0);
  EXPECT_EQ(wait_result, 0);
  EXPECT_EQ(add_result, 0);
  EXPECT_EQ(idle_returned, 1);
}

// --- Waits that help -------------------------------------------------------

TEST(ThreadPoolHelp, ATaskThatWaitsForATaskItQueuedRunsItInPlace) {
  ThreadPool pool(1, 10);  // one worker: blocking would never end
  auto outer = pool.submit(
      [&] {
        const auto me = std::this_thread::get_id();
        auto inner = pool.submit([me] { return std::this_thread::get_id() == me; }, "inner");
        EXPECT_TRUE(pool.is_pending(inner.id));
        EXPECT_TRUE(pool.wait(inner.id));
        EXPECT_FALSE(pool.is_pending_or_running(inner.id));
        return inner.result.get();
      },
      "outer");
  EXPECT_TRUE(outer.result.get());  // the inner task ran on the outer one's thread
  pool.wait_idle();
  const ThreadPool::Stats stats = pool.stats();
  EXPECT_EQ(stats.submitted, 2u);
  EXPECT_EQ(stats.completed, 2u);
}

TEST(ThreadPoolHelp, ACycleThroughAWaitInPlaceThrows) {
  ThreadPool pool(1, 10);
  std::promise<std::string> message;
  std::atomic<ThreadPool::TaskId> outer_id{0};
  Gate id_known;
  auto outer = pool.submit([&] {
    id_known.wait();
    const auto inner = pool.add_task(
        [&] { message.set_value(error_message([&] { pool.wait(outer_id.load()); })); }, "inner");
    pool.wait(inner);
  });
  outer_id = outer.id;
  id_known.open();
  outer.result.get();
  EXPECT_EQ(message.get_future().get(),
            tamu::cat("Cannot wait for task ", outer.id, " from inside that task"));
}

// --- Cooperative stop ---------------------------------------------------------

TEST(ThreadPoolStop, RunningTasksSeriesAndPendingTasksAreAskedOrRemoved) {
  ThreadPool pool(2, 10);
  Gate started;
  auto stoppable = pool.submit([&](std::stop_token token) {
    started.open();
    vexo::test::wait_for_stop(std::move(token));
    return 7;
  });
  started.wait();
  EXPECT_TRUE(pool.request_stop(stoppable.id));
  EXPECT_EQ(stoppable.result.get(), 7);

  Gate plain_started, plain_release;
  const auto plain = pool.add_task([&] {
    plain_started.open();
    plain_release.wait();
  });
  plain_started.wait();
  EXPECT_FALSE(pool.request_stop(plain));  // takes no token: cannot be asked
  plain_release.open();

  const auto later = pool.add_task([] { ADD_FAILURE() << "a stopped pending task ran"; }, 1h);
  EXPECT_TRUE(pool.request_stop(later));
  EXPECT_FALSE(pool.is_pending(later));
  EXPECT_FALSE(pool.request_stop(later));
  EXPECT_FALSE(pool.request_stop(12345));

  std::atomic<int> runs{0};
  Gate series_started;
  const auto series = pool.add_recurring(
      [&](std::stop_token token) {
        if (runs.fetch_add(1) == 0) series_started.open();
        vexo::test::wait_for_stop(std::move(token));
      },
      0ns, 1ns);
  series_started.wait();
  EXPECT_TRUE(pool.request_stop(series));
  EXPECT_TRUE(pool.wait_for(series, 60s));
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(eventually([&] { return pool.is_idle(); }));
}

TEST(ThreadPoolStop, TheDestructorAsksRunningTasksToStop) {
  std::atomic<bool> stopped{false};
  EXPECT_TRUE(finishes_within(
      [&] {
        ThreadPool pool(1, 10);
        Gate started;
        pool.add_task([&](std::stop_token token) {
          started.open();
          vexo::test::wait_for_stop(std::move(token));
          stopped = true;
        });
        started.wait();
      },
      60s));
  EXPECT_TRUE(stopped);
}

// Tasks that wait for each other in place, stop and remove each other, under
// a destructor that comes at a random moment. Every callable that was
// accepted runs once or is destroyed unrun, and nothing hangs.
TEST(ThreadPoolStress, WaitsInPlaceStopsRemovalsAndDestruction) {
  for (int round = 0; round < 20; ++round) {
    std::atomic<long> accepted{0}, refused{0}, ran{0}, destroyed{0};
    struct Counted {
      std::atomic<long>* destroyed;
      std::atomic<long>* ran;
      bool live = true;
      Counted(std::atomic<long>* d, std::atomic<long>* r) : destroyed(d), ran(r) {}
      Counted(Counted&& o) noexcept : destroyed(o.destroyed), ran(o.ran) { o.live = false; }
      ~Counted() {
        if (live) destroyed->fetch_add(1);
      }
    };
    {
      ThreadPool pool(2, 64);
      std::mt19937 rng(static_cast<unsigned>(round));
      std::vector<ThreadPool::TaskId> ids;
      for (int i = 0; i < 200; ++i) {
        const auto pick = ids.empty() ? ThreadPool::TaskId{0} : ids[rng() % ids.size()];
        const int kind = static_cast<int>(rng() % 4);
        Task task([c = Counted(&destroyed, &ran), &pool, pick, kind](std::stop_token token) {
          c.ran->fetch_add(1);
          try {
            if (kind == 0) pool.wait_for(pick, 1ms);
            if (kind == 1) pool.request_stop(pick);
            if (kind == 2) pool.remove_pending_task(pick);
            if (kind == 3) {
              for (int k = 0; k < 100 && !token.stop_requested(); ++k) std::this_thread::yield();
            }
          } catch (const vexo::Error&) {
            // a cycle detected: fine here
          }
        });
        if (auto id = pool.try_add_task(std::move(task), "stress")) {
          accepted.fetch_add(1);
          ids.push_back(*id);
        } else {
          refused.fetch_add(1);
        }
        if (rng() % 16 == 0 && !ids.empty()) pool.request_stop(ids[rng() % ids.size()]);
      }
    }
    EXPECT_EQ(destroyed.load(), accepted.load() + refused.load()) << "round " << round;
    EXPECT_LE(ran.load(), accepted.load());
  }
}

}  // namespace
