#include "vexo/util/task_group.hpp"

#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "pool_test_support.hpp"
#include "test_support.hpp"

namespace {

using namespace std::chrono_literals;
using vexo::test::expect_returns;
using vexo::test::Gate;
using vexo::util::parallel_for;
using vexo::util::TaskGroup;
using vexo::util::ThreadPool;

// Random ranges, grains and both body forms against a plain count: every
// index is visited exactly once, whatever the pool's size.
TEST(ParallelFor, VisitsEveryIndexOnceOverRandomRangesAndGrains) {
  std::mt19937_64 rng(20261209);
  for (std::size_t workers : {1u, 2u, 5u}) {
    ThreadPool pool(workers, 100);
    for (int round = 0; round < 60; ++round) {
      const std::size_t first = rng() % 1000;
      const std::size_t count = rng() % 3 == 0 ? rng() % 5 : rng() % 20000;
      const std::size_t grain = rng() % 3 == 0 ? 0 : 1 + rng() % 700;
      std::vector<std::atomic<int>> seen(count);
      if (round % 2 == 0) {
        parallel_for(
            pool, first, first + count, [&](std::size_t i) { seen[i - first]++; }, grain);
      } else {
        parallel_for(
            pool, first, first + count,
            [&](std::size_t b, std::size_t e) {
              ASSERT_LT(b, e);
              for (std::size_t i = b; i < e; ++i) seen[i - first]++;
            },
            grain);
      }
      for (std::size_t i = 0; i < count; ++i) {
        ASSERT_EQ(seen[i].load(), 1) << "index " << first + i << ", round " << round;
      }
    }
    EXPECT_TRUE(pool.is_idle() || pool.num_pending() == 0);
  }
}

TEST(ParallelFor, EndsWhenAnotherThreadRemovesItsHelpers) {
  ThreadPool pool(2, 100);
  std::atomic<bool> stop{false};
  std::thread remover([&] {
    while (!stop) pool.remove_pending_tasks();
  });
  for (int round = 0; round < 200; ++round) {
    std::atomic<long> sum{0};
    parallel_for(
        pool, 0, 1000, [&](std::size_t i) { sum += static_cast<long>(i); }, 1);
    ASSERT_EQ(sum.load(), 999 * 1000 / 2);
  }
  stop = true;
  remover.join();
}

TEST(ParallelFor, NestedLoopsOnOneWorkerAndAFullQueueFinish) {
  ThreadPool pool(1, 1);
  Gate started, release;
  pool.add_task([&] {
    started.open();
    release.wait();
  });
  started.wait();        // the only worker is busy...
  pool.add_task([] {});  // ...and the queue is full
  std::atomic<long> calls{0};
  parallel_for(pool, 0, 50,
               [&](std::size_t) { parallel_for(pool, 0, 50, [&](std::size_t) { ++calls; }); });
  EXPECT_EQ(calls.load(), 2500);
  release.open();
  pool.wait_idle();
  // From a task of the same pool, with the other worker free or not.
  auto nested = pool.submit([&] {
    std::atomic<long> inner{0};
    parallel_for(pool, 0, 100,
                 [&](std::size_t) { parallel_for(pool, 0, 100, [&](std::size_t) { ++inner; }); });
    return inner.load();
  });
  EXPECT_EQ(nested.result.get(), 10000);
}

TEST(ParallelFor, TheFirstExceptionIsRethrownAfterTheLoopStops) {
  ThreadPool pool(2, 100);
  std::atomic<long> after_failure{0};
  std::atomic<bool> failed{false};
  try {
    parallel_for(
        pool, 0, 100000,
        [&](std::size_t i) {
          if (failed) ++after_failure;
          if (i == 500) {
            failed = true;
            throw std::runtime_error("index 500");
          }
        },
        10);
    FAIL() << "no exception";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "index 500");
  }
  // Work stops being handed out: at most the sub-ranges already claimed go on.
  EXPECT_LT(after_failure.load(), 100000 - 600);
  EXPECT_TRUE(pool.is_idle() || pool.num_pending() == 0);
}

TEST(TaskGroup, RunsEveryMemberAndRethrowsTheFirstFailure) {
  ThreadPool pool(2, 100);
  TaskGroup group(pool, "batch");
  std::atomic<int> ran{0};
  for (int i = 0; i < 1000; ++i) group.run([&ran] { ++ran; });
  group.wait();
  EXPECT_EQ(ran.load(), 1000);
  group.run([] { throw std::runtime_error("member"); });
  group.run([&ran] { ++ran; });
  EXPECT_THROW(group.wait(), std::runtime_error);
  EXPECT_EQ(ran.load(), 1001);
  group.wait();                        // the failure was rethrown once
  EXPECT_EQ(pool.stats().failed, 0u);  // members' failures go to the group, not the pool
}

TEST(TaskGroup, AWaitInsideATaskOfAOneWorkerPoolAndAFullQueueRunMembersHere) {
  ThreadPool pool(1, 1);
  auto outer = pool.submit([&] {
    TaskGroup group(pool);
    std::atomic<int> ran{0};
    for (int i = 0; i < 100; ++i) group.run([&ran] { ++ran; });
    group.wait();  // the only worker is this one: the members run here
    return ran.load();
  });
  EXPECT_EQ(outer.result.get(), 100);
  Gate started, release;
  pool.add_task([&] {
    started.open();
    release.wait();
  });
  started.wait();
  pool.add_task([] {});  // full
  TaskGroup group(pool);
  const auto me = std::this_thread::get_id();
  std::atomic<bool> here{false};
  group.run([&] { here = std::this_thread::get_id() == me; });  // no helper could be queued
  EXPECT_TRUE(here);
  release.open();
  group.wait();
}

TEST(TaskGroup, CancelRemovesWhatWaitsAndStopsWhatRuns) {
  ThreadPool pool(1, 100);
  TaskGroup group(pool, "cancelled");
  Gate started;
  std::atomic<bool> saw_stop{false};
  std::atomic<int> later{0};
  group.run([&](std::stop_token token) {
    started.open();
    while (!token.stop_requested()) std::this_thread::sleep_for(1ms);
    saw_stop = true;
  });
  started.wait();  // the one worker runs it; the rest wait in the group's queue
  for (int i = 0; i < 10; ++i) group.run([&later] { ++later; });
  group.cancel();
  group.wait();
  EXPECT_TRUE(saw_stop);
  EXPECT_EQ(later.load(), 0);
  // Usable again, no longer cancelled.
  group.run([&later](std::stop_token token) {
    if (!token.stop_requested()) ++later;
  });
  group.wait();
  EXPECT_EQ(later.load(), 1);
}

// A member is never stranded in the group's queue with no helper to run it:
// not when it comes as a helper finds the queue empty and leaves (each
// member here is queued the moment the last one ran, and must run without
// a wait), nor when wait() removes an idle helper that a concurrent run()
// counted on (then a helper must be pending for a member no one ran). The
// windows are short: random pauses of a few microseconds sample them.
TEST(TaskGroup, AMemberIsNeverLeftWithoutAHelper) {
  std::mt19937 rng(20261209);
  auto pause = [&rng] {
    const auto spins = static_cast<unsigned>(rng() % 4000);
    std::atomic<unsigned> k{0};
    while (k.fetch_add(1, std::memory_order_relaxed) < spins) {
    }
  };
  {
    ThreadPool pool(1, 100);
    TaskGroup group(pool);
    std::atomic<int> ran{0};
    for (int i = 0; i < 3000; ++i) {
      pause();
      group.run([&ran] { ++ran; });
      // Spins, to come back within the helper's window of leaving.
      const auto deadline = std::chrono::steady_clock::now() + 20s;
      for (unsigned k = 1; ran.load() != i + 1; ++k) {
        if (k % 4096 == 0 && std::chrono::steady_clock::now() > deadline) break;
      }
      ASSERT_EQ(ran.load(), i + 1) << "member " << i << " was stranded";
    }
    group.wait();
  }
  {
    ThreadPool pool(1, 1000);
    Gate release;
    pool.add_task([&] { release.wait(); });  // helpers stay pending
    struct OpenOnExit {
      Gate& gate;
      ~OpenOnExit() { gate.open(); }
    } open_on_exit{release};  // also when an assertion below returns
    // A member left queued in one round runs in a later one: its flag outlives the round.
    std::vector<std::atomic<bool>> ran(1000);
    TaskGroup group(pool, "group");
    for (std::size_t round = 0; round < ran.size(); ++round) {
      group.run([] {});  // queues a helper
      std::atomic<bool> ready{false};
      std::atomic<bool> go{false};
      std::thread runner([&] {
        ready = true;
        while (!go) {
        }
        pause();
        group.run([&ran, round] { ran[round] = true; });
      });
      while (!ready) {
      }
      go = true;
      group.wait();
      runner.join();
      if (!ran[round]) {
        const auto names = pool.get_pending_task_names();
        ASSERT_NE(std::find(names.begin(), names.end(), "group"), names.end())
            << "round " << round << ": a member waits with no helper";
      }
    }
    release.open();
    group.wait();
  }
}

// wait_for() looks at its deadline before each member it runs itself, and
// a timeout near Duration::max() saturates instead of overflowing.
TEST(TaskGroup, WaitForChecksItsDeadlineBeforeEachMemberAndSaturates) {
  ThreadPool pool(1, 100);
  Gate release;
  std::atomic<bool> started{false};
  pool.add_task([&] {
    started = true;
    release.wait();
  });
  while (!started) std::this_thread::yield();
  {
    TaskGroup group(pool);  // its helpers wait behind the busy worker
    std::atomic<int> ran{0};
    for (int i = 0; i < 5; ++i) {
      group.run([&ran] {
        std::this_thread::sleep_for(20ms);
        ++ran;
      });
    }
    EXPECT_FALSE(group.wait_for(1ms));
    EXPECT_LE(ran.load(), 1);  // the second member would begin past the deadline
    group.wait();
    EXPECT_EQ(ran.load(), 5);
  }
  release.open();
  TaskGroup group(pool);
  Gate member_started, member_release;
  group.run([&] {
    member_started.open();
    member_release.wait();
  });
  std::thread opener([&] {
    member_started.wait();
    std::this_thread::sleep_for(20ms);  // likelier that wait_for() is blocked by now
    member_release.open();
  });
  EXPECT_TRUE(group.wait_for(ThreadPool::Duration::max() - ThreadPool::Duration(1)));
  opener.join();
}

// A member that ends its thread (pthread_exit) still counts as ended: waits
// and the destructor return, and the members behind it run.
TEST(TaskGroup, AMemberThatEndsItsThreadEndsAndWaitsReturn) {
  ThreadPool pool(2, 100);
  std::atomic<int> ran{0};
  {
    TaskGroup group(pool);
    Gate exiting;
    group.run([&] {
      exiting.open();
      pthread_exit(nullptr);
    });
    exiting.wait();  // taken by a helper on a worker, not by the wait below
    for (int i = 0; i < 10; ++i) group.run([&ran] { ++ran; });
    expect_returns("TaskGroup::wait()", [&] { group.wait(); });
    EXPECT_EQ(ran.load(), 10);
  }
  auto group = std::make_unique<TaskGroup>(pool);
  Gate exiting;
  group->run([&] {
    exiting.open();
    pthread_exit(nullptr);
  });
  exiting.wait();
  expect_returns("~TaskGroup()", [&] { group.reset(); });
  pool.wait_idle();
  EXPECT_EQ(ran.load(), 10);
}

// A named task that becomes due while the only worker runs a group's or a loop's helper runs
// between two members, not after the whole batch; the group then ends on a helper queued
// behind it, with no wait to drain it. The thread that would wait does not run anything
// until the named task has run, so the count at that moment is the helper's alone. Cases: a
// due task submitted by a member that first filled its lane with children; a delayed task
// whose start comes during a member; a task submitted by a loop's body.
TEST(TaskGroup, AHelperStepsAsideForANamedTaskThatBecomesDue) {
  constexpr int kQueued = 1000;
  constexpr int kChildren = 1000;
  constexpr int kTotal = 2 + kChildren + kQueued;
  const auto little_work = [] {
    std::atomic<unsigned> k{0};
    while (k.fetch_add(1, std::memory_order_relaxed) < 200) {
    }
  };
  for (const bool delayed : {false, true}) {
    SCOPED_TRACE(delayed ? "delayed task" : "due task");
    ThreadPool pool(1, 100);
    TaskGroup group(pool, "batch");
    std::atomic<int> done{0};
    std::promise<int> done_when_named_ran;
    Gate all_queued;
    group.run([&] {  // taken by the helper, which then waits for the rest to be queued
      all_queued.wait();
      ++done;
    });
    group.run([&] {
      for (int i = 0; i < kChildren; ++i) {
        group.run([&] {  // into this thread's lane
          little_work();
          ++done;
        });
      }
      auto named = [&] { done_when_named_ran.set_value(done.load()); };
      if (delayed) {
        const auto start = std::chrono::steady_clock::now() + 5ms;
        pool.add_task(named, start, "named");
        while (std::chrono::steady_clock::now() <= start) std::this_thread::yield();
      } else {
        pool.add_task(named, "named");
      }
      ++done;
    });
    for (int i = 0; i < kQueued; ++i) {
      group.run([&] {
        little_work();
        ++done;
      });
    }
    all_queued.open();
    auto when_named_ran = done_when_named_ran.get_future();
    ASSERT_EQ(when_named_ran.wait_for(60s), std::future_status::ready);
    EXPECT_LE(when_named_ran.get(), 2 + 4);  // the two members and not many more
    EXPECT_TRUE(vexo::test::eventually([&] { return done.load() == kTotal; }))
        << "no helper came back after the named task: " << done.load() << " of " << kTotal;
    group.wait();
  }
  if (std::thread::hardware_concurrency() < 2) return;  // parallel_for then queues no helper
  ThreadPool pool(1, 100);
  const auto caller = std::this_thread::get_id();
  constexpr std::size_t kIndices = 100000;
  std::atomic<std::size_t> visited{0};
  std::atomic<bool> submitted{false};
  std::promise<std::size_t> visited_when_named_ran;
  auto when_named_ran = visited_when_named_ran.get_future();
  parallel_for(
      pool, 0, kIndices,
      [&](std::size_t b, std::size_t e) {
        if (std::this_thread::get_id() == caller) {
          // The caller's range waits, so that only the helper visits until the named task ran.
          ASSERT_EQ(when_named_ran.wait_for(60s), std::future_status::ready);
        } else if (!submitted.exchange(true)) {
          pool.add_task([&] { visited_when_named_ran.set_value(visited.load()); }, "named");
        }
        for (std::size_t i = b; i < e; ++i) little_work();
        visited += e - b;
      },
      100);
  EXPECT_EQ(visited.load(), kIndices);
  // The helper's first range (at most a quarter), then the named task.
  EXPECT_LE(when_named_ran.get(), kIndices / 4);
}

// Groups and loops from several threads and from tasks, with removals by a
// stranger, who also submits plain tasks (for which helpers step aside), and a
// cancel, all on one small pool.
TEST(TaskGroup, StressWithLoopsRemovalsAndCancels) {
  ThreadPool pool(2, 8);
  std::atomic<bool> stop{false};
  std::thread remover([&] {
    for (unsigned i = 0; !stop; ++i) {
      if (i % 2 == 0) {
        (void)pool.try_add_task([] {}, "plain");
      } else {
        pool.remove_pending_tasks();
      }
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> users;
  std::atomic<long> total{0};
  for (int t = 0; t < 3; ++t) {
    users.emplace_back([&, t] {
      for (int round = 0; round < 30; ++round) {
        TaskGroup group(pool, "stress");
        std::atomic<long> members{0};
        for (int i = 0; i < 20; ++i) {
          group.run([&, i] {
            if (i % 4 == 0) (void)pool.try_add_task([] {}, "plain");
            parallel_for(pool, 0, 64, [&](std::size_t) {
              ++total;
              std::this_thread::yield();  // so that helpers get sub-ranges too
            });
            ++members;
          });
        }
        if ((round + t) % 5 == 0) {
          group.cancel();
          group.wait();
        } else {
          group.wait();
          EXPECT_EQ(members.load(), 20);
        }
      }
    });
  }
  for (auto& u : users) u.join();
  stop = true;
  remover.join();
  EXPECT_GT(total.load(), 0);
}

// Members that run() members into their own group (which go to their thread's lane), a
// thread outside that run()s into it at the same time, members that wait for another group
// whose members run() into the first, failures, short wait_for()s and cancels, on one group
// reused round after round, on a pool of one worker with a small queue and one of two, where
// members also submit plain tasks, for which helpers step aside: checked against a plain
// count. When a wait returns no member runs, and every member ran at most once; exactly once
// without a cancel.
TEST(TaskGroup, NestedRunsWaitsAndCancelsMatchACountModel) {
  constexpr std::size_t kIds = 4000;
  struct Round {
    std::vector<std::atomic<int>> runs = std::vector<std::atomic<int>>(kIds);
    std::atomic<std::size_t> next_id{0};
    std::atomic<int> in_flight{0};
    std::atomic<int> threw{0};
    std::atomic<bool> rethrown_aside{false};  // by a wait in another group's member
  };
  auto mix = [](std::uint64_t x) {  // splitmix64: a member's choices from its id and the round
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
  };
  for (const std::size_t workers : {1u, 2u}) {
    ThreadPool pool(workers, workers == 1 ? 4 : 64);
    TaskGroup group(pool, "model");
    for (int r = 0; r < 40; ++r) {
      SCOPED_TRACE("workers " + std::to_string(workers) + ", round " + std::to_string(r));
      Round round;
      // 0: wait, 1: wait_for in short steps, 2: a member cancels, 3: deep trees from outside too
      const int mode = r % 4;
      // Returns the new member's id, or kIds when none was run().
      std::function<std::size_t(int)> spawn = [&](int depth) {
        const std::size_t id = round.next_id.fetch_add(1);
        if (id >= kIds) return kIds;
        group.run([&, id, depth](const std::stop_token& token) {
          ++round.in_flight;
          round.runs[id].fetch_add(1);
          const std::uint64_t h = mix((static_cast<std::uint64_t>(r) << 32) ^ id);
          if (mode == 2 && id == 150) group.cancel();  // from a member, with lanes filling
          if ((h >> 24) % 8 == 0) (void)pool.try_add_task([] {}, "plain");
          if (depth < 4 && !token.stop_requested()) {
            for (std::uint64_t c = 0; c < h % 5; ++c) spawn(depth + 1);
          }
          if (depth < 2 && (h >> 8) % 16 == 0) {
            TaskGroup other(pool, "other");
            for (int k = 0; k < 3; ++k) other.run([&] { spawn(3); });
            other.wait();
          }
          --round.in_flight;
          if ((h >> 16) % 512 == 0) {
            ++round.threw;
            throw std::runtime_error("member");
          }
        });
        return id;
      };
      std::thread outside([&] {
        for (int i = 0; i < 20; ++i) spawn(mode == 3 ? 0 : 2);
        if (mode != 3) return;
        // Members of another group that run() into this one, then wait for it: the member
        // each queued has run by then.
        TaskGroup side(pool, "side");
        for (int i = 0; i < 4; ++i) {
          side.run([&] {
            const std::size_t id = spawn(2);
            try {
              group.wait();
            } catch (const std::runtime_error&) {
              round.rethrown_aside = true;
            }
            if (id < kIds) {
              EXPECT_EQ(round.runs[id].load(), 1) << "member " << id;
            }
          });
        }
        side.wait();
      });
      for (int i = 0; i < 20; ++i) spawn(0);
      outside.join();
      bool rethrown = false;
      try {
        if (mode == 1) {
          while (!group.wait_for(std::chrono::microseconds(50))) {
          }
        } else {
          group.wait();
        }
      } catch (const std::runtime_error&) {
        rethrown = true;
      }
      ASSERT_EQ(round.in_flight.load(), 0) << "a member runs after the wait returned";
      const std::size_t submitted = std::min(round.next_id.load(), kIds);
      std::size_t ran = 0;
      for (std::size_t id = 0; id < submitted; ++id) {
        const int runs = round.runs[id].load();
        ASSERT_LE(runs, 1) << "member " << id << " ran twice";
        ran += static_cast<std::size_t>(runs);
      }
      if (mode != 2) {
        ASSERT_EQ(ran, submitted) << "members were lost";
        EXPECT_EQ(rethrown || round.rethrown_aside, round.threw.load() > 0);
      }
    }
    group.wait();  // nothing left, no failure kept
  }
}

}  // namespace
