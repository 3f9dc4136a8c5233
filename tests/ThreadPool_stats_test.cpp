// The pool's statistics, its handling of failing tasks (the diagnostic line, the handler,
// exhausted memory, a task that ends its thread), its destruction, and stress runs whose
// counts must add up.
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
#include <tuple>
#include <vector>

#include "pool_test_support.hpp"
#include "tamu/cat.hpp"
#include "vexo/util/ThreadPool.hpp"
// Allocations can be made to fail (vexo::test::t_fail_allocations).
#define VEXO_TEST_COUNT_ALLOCATIONS 1
#include "pool_test_names.hpp"
#include "test_support.hpp"

namespace {

using namespace vexo::test::pool_names;

TEST(ThreadPoolErrors, ThrowingTaskWritesOneLineAndThePoolGoesOn) {
  CaptureCerr captured;
  {
    ThreadPool pool(1, 10);
    pool.add_task([] { throw std::runtime_error("x"); }, "job");
    pool.add_task([] { throw 42; }, "odd");  // not a std::exception
    pool.add_task(std::function<void()>(), "empty");
    std::atomic<bool> after{false};
    pool.add_task([&] { after = true; }, "after");
    ASSERT_TRUE(eventually([&] { return after.load() && pool.is_idle(); }));
    EXPECT_TRUE(pool.get_running_task_ids().empty());
  }
  EXPECT_EQ(captured.text(), std::string("Exception in task \"job\": x\n"
                                         "Exception in task \"odd\": unknown exception\n"
                                         "Exception in task \"empty\": ") +
                                 std::bad_function_call().what() + "\n");
}

TEST(ThreadPoolErrors, DiagnosticLinesNeverInterleave) {
  CaptureCerr captured;
  const std::string long_name(300, 'n');
  constexpr int kTasks = 200;
  {
    ThreadPool pool(4, kTasks);
    for (int i = 0; i < kTasks; ++i) {
      pool.add_task([] { throw std::runtime_error(std::string(500, 'w')); }, long_name);
    }
    ASSERT_TRUE(eventually([&] { return pool.is_idle(); }));
  }
  const std::string line = "Exception in task \"" + long_name + "\": " + std::string(500, 'w');
  std::istringstream lines(captured.text());
  int count = 0;
  for (std::string l; std::getline(lines, l); ++count) ASSERT_EQ(l, line);
  EXPECT_EQ(count, kTasks);
}

TEST(ThreadPoolDestruction, DiscardsPendingTasksAndDestroysTheirCallables) {
  auto token = std::make_shared<int>(0);
  std::atomic<int> runs{0};
  {
    ThreadPool pool(2, 100);
    for (int i = 0; i < 50; ++i) pool.add_task([&runs, token] { ++runs; }, 1h);
    EXPECT_EQ(token.use_count(), 51);
  }
  EXPECT_EQ(runs.load(), 0);
  EXPECT_EQ(token.use_count(), 1);
}

TEST(ThreadPoolDestruction, WaitsForTheRunningTask) {
  std::atomic<bool> finished{false};
  Latch started(1);
  {
    ThreadPool pool(1, 10);
    pool.add_task([&] {
      started.count_down();
      std::this_thread::sleep_for(50ms);
      finished = true;
    });
    started.wait();
  }
  EXPECT_TRUE(finished.load());
}

// Every accepted task runs exactly once or is removed, under several
// submitters, tasks that submit tasks, and concurrent removals and queries;
// with a capacity (every task through the lock) and without (due tasks
// through the submission ring, which overflows with one worker). And a task
// is never seen neither pending nor running between its submission and the
// end of its callable, whichever way a worker took it.
class ThreadPoolStress : public ::testing::TestWithParam<std::tuple<std::size_t, std::size_t>> {};

TEST_P(ThreadPoolStress, EveryAcceptedTaskRunsExactlyOnceOrIsRemoved) {
  constexpr int kSubmitters = 3;
  constexpr int kPerSubmitter = 1500;
  constexpr std::size_t kMaxIds = 4 * kSubmitters * kPerSubmitter;
  std::vector<std::atomic<int>> runs(kMaxIds);
  std::vector<std::atomic<int>> removed(kMaxIds);
  std::vector<std::atomic<bool>> issued(kMaxIds), ended(kMaxIds);
  std::atomic<std::uint64_t> lost{kMaxIds};  // an id seen neither pending nor running
  std::atomic<bool> stop_meddling{false};
  std::atomic<std::uint64_t> accepted{0};
  {
    ThreadPool pool(std::get<0>(GetParam()), std::get<1>(GetParam()));
    // Submits one task that counts its own run. Submitters retry while the
    // queue is full; a task gives up instead (with one worker, nobody else
    // would drain the queue).
    std::function<void(int, int)> submit;
    submit = [&](int depth, int seed) {
      auto id_holder = std::make_shared<std::atomic<std::uint64_t>>(kMaxIds);
      auto body = [&, depth, seed, id_holder] {
        std::uint64_t id;
        while ((id = id_holder->load()) == kMaxIds) std::this_thread::yield();
        runs[id].fetch_add(1);
        if (depth < 1 && seed % 4 == 0) submit(depth + 1, seed + 1);  // tasks that submit tasks
        ended[id] = true;
      };
      const auto start = seed % 7 == 0 ? ThreadPool::Duration(2ms) : ThreadPool::Duration(0);
      for (;;) {
        try {
          const auto id =
              pool.add_task(body, start, tamu::cat("t", static_cast<std::uint64_t>(seed)));
          ASSERT_LT(id, kMaxIds);
          issued[id] = true;
          id_holder->store(id);
          accepted.fetch_add(1);
          return;
        } catch (const vexo::Error&) {
          if (depth > 0) return;
          std::this_thread::yield();
        }
      }
    };
    std::thread meddler([&] {
      std::mt19937_64 rng(42);
      while (!stop_meddling) {
        // Half of the time one of the newest, which a worker may be taking.
        const std::uint64_t newest = accepted.load();
        const std::uint64_t id = rng() % 2 == 0
                                     ? rng() % (newest + 1)
                                     : newest - std::min<std::uint64_t>(newest, rng() % 4);
        if (pool.remove_pending_task(id)) removed[id].fetch_add(1);
        const bool was_issued = issued[id];
        if (!pool.is_pending_or_running(id) && was_issued && !ended[id] && removed[id] == 0) {
          lost = id;
        }
        (void)pool.get_running_task_ids();
        (void)pool.get_running_task_names();
        (void)pool.is_idle();
        (void)pool.num_pending();
      }
    });
    std::vector<std::thread> submitters;
    for (int s = 0; s < kSubmitters; ++s) {
      submitters.emplace_back([&, s] {
        for (int i = 0; i < kPerSubmitter; ++i) submit(0, s * kPerSubmitter + i);
      });
    }
    for (auto& t : submitters) t.join();
    ASSERT_TRUE(eventually([&] { return pool.is_idle(); }));
    stop_meddling = true;
    meddler.join();
    // Nested submissions happen inside tasks; the pool is idle, so all are in.
    ASSERT_TRUE(pool.is_idle());
  }
  EXPECT_EQ(lost.load(), kMaxIds) << "task " << lost.load() << " was neither pending nor running";
  const std::uint64_t total = accepted.load();
  std::uint64_t ran = 0, gone = 0;
  for (std::uint64_t id = 0; id < kMaxIds; ++id) {
    const int r = runs[id].load(), m = removed[id].load();
    if (id < total) {
      ASSERT_EQ(r + m, 1) << "task " << id << " ran " << r << " times, removed " << m;
    } else {
      ASSERT_EQ(r + m, 0) << "id " << id << " was never issued";
    }
    ran += static_cast<std::uint64_t>(r);
    gone += static_cast<std::uint64_t>(m);
  }
  EXPECT_EQ(ran + gone, total);
  EXPECT_GE(total, static_cast<std::uint64_t>(kSubmitters * kPerSubmitter));
}

INSTANTIATE_TEST_SUITE_P(WorkersAndCapacity, ThreadPoolStress,
                         ::testing::Values(std::make_tuple(1, 256), std::make_tuple(2, 256),
                                           std::make_tuple(8, 256), std::make_tuple(1, SIZE_MAX),
                                           std::make_tuple(2, SIZE_MAX)));

// Submitters racing close(), many times over, with more submitters than
// cores, so that a submitter is often preempted in the middle of its
// submission while close() comes: the accepted ids are still 0, 1, 2, ... with no gap (a
// refused submission uses no id, even one that began before close()), and
// the accepted tasks still run out on the one worker, which no refusal may
// leave asleep.
// Tasks that can only end together: each of k (at most the workers) waits
// until all k have started, so each must have got a worker of its own,
// whether the workers slept, were being woken, or were between two tasks of
// a stream of empty ones (and took the submissions' wake-ups over). The k
// come from this thread or from a task, alone or among empty tasks, into a
// pool left to fall asleep or not. A wake-up lost anywhere on its way leaves
// a task waiting for a worker that nobody wakes.
TEST(ThreadPoolStress, TasksThatMustRunAtOnceEachWakeAWorker) {
  std::mt19937 rng(20261210);
  for (int round = 0; round < 80; ++round) {
    const std::size_t workers = 2 + rng() % 4;
    const int k = 2 + static_cast<int>(rng() % (workers - 1));
    const auto mode = static_cast<int>(rng() % 3);  // alone, among empty tasks, from a task
    const bool let_sleep = rng() % 2 == 0;
    SCOPED_TRACE("round " + std::to_string(round) + ": " + std::to_string(workers) + " workers, " +
                 std::to_string(k) + " tasks, mode " + std::to_string(mode) +
                 (let_sleep ? ", after a sleep" : ", at once"));
    std::atomic<int> started{0};
    std::atomic<bool> late{false};
    const auto meet = [&] {
      started.fetch_add(1);
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (started.load() < k) {
        if (std::chrono::steady_clock::now() > deadline) {
          late = true;
          return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(50));
      }
    };
    {
      ThreadPool pool(workers, SIZE_MAX);
      if (mode == 1) {
        for (int i = 0; i < 2000; ++i) pool.add_task([] {});
      }
      if (let_sleep) std::this_thread::sleep_for(std::chrono::milliseconds(2));
      if (mode == 2) {
        pool.add_task([&] {
          for (int i = 1; i < k; ++i) pool.add_task(meet);
          meet();
        });
      } else {
        for (int i = 0; i < k; ++i) {
          pool.add_task(meet);
          if (mode == 1) pool.add_task([] {});
        }
      }
      ASSERT_TRUE(eventually([&] { return started.load() == k && pool.is_idle(); }));
    }
    ASSERT_FALSE(late.load());
  }
}

// A task's callable is destroyed by its worker after the run, and its
// destructor may submit and wait for what it submitted: another worker must
// be woken for that, since this one is not looking for work until the
// destructor returns.
TEST(ThreadPoolStress, ADestructorThatSubmitsAndWaitsGetsAnotherWorker) {
  struct Flags {
    std::atomic<bool> ran{false};
    std::atomic<bool> late{false};  // the destructor gave up waiting
  };
  struct SubmitsWhenDestroyed {
    ThreadPool* pool;
    std::shared_ptr<Flags> flags;
    SubmitsWhenDestroyed(ThreadPool* p, std::shared_ptr<Flags> f) : pool(p), flags(std::move(f)) {}
    SubmitsWhenDestroyed(SubmitsWhenDestroyed&& other) noexcept = default;
    SubmitsWhenDestroyed& operator=(SubmitsWhenDestroyed&&) = delete;
    ~SubmitsWhenDestroyed() {
      if (!flags) return;  // moved from
      pool->add_task([f = flags] { f->ran = true; });
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      while (!flags->ran) {
        if (std::chrono::steady_clock::now() > deadline) {
          flags->late = true;
          return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
    }
    void operator()() const {}
  };
  for (int round = 0; round < 3; ++round) {
    auto flags = std::make_shared<Flags>();
    ThreadPool pool(2, SIZE_MAX);
    // Both workers asleep (most likely), so that one is woken for the task
    // and the other sleeps on.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pool.add_task(SubmitsWhenDestroyed(&pool, flags));
    ASSERT_TRUE(eventually([&] { return flags->ran.load() && pool.is_idle(); }));
    EXPECT_FALSE(flags->late.load());
  }
}

// Submitters that find the ring of due tasks full wait for the workers while
// these take, and move the ring to the queue when they do not; a task that
// submits moves it at once. Either way no submission waits for a worker that
// is blocked, and the tasks of every submitter run once each, in the order of
// their ids.
TEST(ThreadPoolStress, SubmittersPastAFullRingNeitherWaitForABlockedWorkerNorReorder) {
  constexpr int kSubmitters = 3, kTasks = 2500;
  std::mt19937 rng(20261210);
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::atomic<bool> open{false};
    // Written by the one worker only; read once the pool is idle.
    std::vector<std::pair<int, int>> ran;
    ran.reserve(std::size_t{kSubmitters} * 3 * kTasks);
    // One list per submitter, and one for the children of a task.
    std::vector<std::vector<ThreadPool::TaskId>> ids(kSubmitters + 1);
    ThreadPool pool(1, SIZE_MAX);  // destroyed first: its tasks use the above
    pool.add_task([&] {
      while (!open.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
    });
    const auto submit_all = [&](int s, int from, unsigned seed) {
      std::mt19937 local(seed);
      for (int i = from; i < from + kTasks; ++i) {
        const auto spin = std::chrono::nanoseconds(local() % 4 == 0 ? local() % 4000 : 0);
        ids[static_cast<std::size_t>(s)].push_back(pool.add_task([&ran, s, i, spin] {
          const auto until = std::chrono::steady_clock::now() + spin;
          while (std::chrono::steady_clock::now() < until) {
          }
          ran.emplace_back(s, i);
        }));
      }
    };
    // First with the worker blocked: the ring fills and must be moved to the
    // queue; then, from an idle pool, while it takes, slower than the
    // submitters.
    for (int phase = 0; phase < 2; ++phase) {
      std::atomic<int> done{0};
      std::vector<std::thread> submitters;
      for (int s = 0; s < kSubmitters; ++s) {
        submitters.emplace_back([&, s, seed = static_cast<unsigned>(rng())] {
          submit_all(s, phase * kTasks, seed);
          done.fetch_add(1);
        });
      }
      const bool on_time = eventually([&] { return done.load() == kSubmitters; });
      open = true;  // lets them finish if they waited for the worker
      for (auto& t : submitters) t.join();
      ASSERT_TRUE(on_time) << "phase " << phase;
      ASSERT_TRUE(eventually([&] { return pool.is_idle(); }));
    }
    // Last, a task that submits past the full ring, which it moves at once.
    pool.add_task([&, seed = static_cast<unsigned>(rng())] { submit_all(kSubmitters, 0, seed); });
    ASSERT_TRUE(eventually([&] { return pool.is_idle(); }));
    ASSERT_EQ(ran.size(), std::size_t{kSubmitters} * 2 * kTasks + kTasks);
    std::vector<int> next(kSubmitters + 1, 0);
    ThreadPool::TaskId last = 0;
    for (const auto& [s, i] : ran) {
      const auto su = static_cast<std::size_t>(s);
      ASSERT_EQ(i, next[su]) << "submitter " << s;
      const ThreadPool::TaskId id = ids[su][static_cast<std::size_t>(i)];
      ASSERT_GT(id, last) << "submitter " << s << ", task " << i;
      last = id;
      ++next[su];
    }
  }
}

TEST(ThreadPoolStress, ManyClosesRacingSubmittersLeaveNoGapInIds) {
  constexpr int kRounds = 400, kSubmitters = 6;
  for (int round = 0; round < kRounds; ++round) {
    ThreadPool pool(1, SIZE_MAX);
    std::vector<std::vector<ThreadPool::TaskId>> accepted(kSubmitters);
    std::atomic<int> started{0};
    std::vector<std::thread> submitters;
    for (int s = 0; s < kSubmitters; ++s) {
      submitters.emplace_back([&, s] {
        started.fetch_add(1);
        while (auto id = pool.try_add_task([] {})) {
          accepted[static_cast<std::size_t>(s)].push_back(*id);
        }
      });
    }
    while (started.load() < kSubmitters || pool.stats().submitted < 5000) {
      std::this_thread::yield();
    }
    pool.close();
    for (auto& t : submitters) t.join();
    std::vector<ThreadPool::TaskId> ids;
    for (const auto& a : accepted) ids.insert(ids.end(), a.begin(), a.end());
    std::sort(ids.begin(), ids.end());
    // The first gap only; the round goes on to the wait.
    std::size_t gap = 0;
    while (gap < ids.size() && ids[gap] == gap) ++gap;
    EXPECT_EQ(gap, ids.size()) << "round " << round << ": id " << gap << " missing among "
                               << ids.size() << " accepted";
    vexo::test::expect_returns("wait_idle() after close()", [&pool] { pool.wait_idle(); });
    ASSERT_EQ(pool.stats().completed, ids.size()) << "round " << round;
  }
}

TEST(ThreadPoolErrors, BadAllocIsReportedWhileMemoryStaysExhausted) {
#if !defined(VEXO_TEST_ALLOCATIONS_COUNTED)
  GTEST_SKIP() << "the sanitizers replace operator new";
#else
  CaptureStderrFd captured;
  {
    ThreadPool pool(1, 10);
    pool.add_task(
        [] {
          vexo::test::t_fail_allocations = true;  // until the next task on this worker
          throw std::bad_alloc();
        },
        "starved");
    std::atomic<bool> after{false};
    pool.add_task(
        [&] {
          vexo::test::t_fail_allocations = false;
          after = true;
        },
        "after");
    ASSERT_TRUE(eventually([&] { return after.load(); }));
  }
  EXPECT_EQ(captured.text(), "Exception in task \"starved\": std::bad_alloc\n");
#endif
}

TEST(ThreadPoolErrors, NullWhatIsReportedWithAPlaceholder) {
  struct NullWhat : std::exception {
    const char* what() const noexcept override { return nullptr; }
  };
  CaptureCerr captured;
  {
    ThreadPool pool(1, 10);
    pool.add_task([] { throw NullWhat(); }, "null");
    ASSERT_TRUE(eventually([&] { return pool.is_idle(); }));
  }
  EXPECT_EQ(captured.text(), "Exception in task \"null\": <null what()>\n");
}

TEST(ThreadPoolErrors, TaskThatEndsItsThreadLeavesThePoolSound) {
  ThreadPool pool(1, 10);
  const auto id = pool.add_task([] { pthread_exit(nullptr); }, "exits");
  std::atomic<bool> after{false};
  pool.add_task([&] { after = true; }, "after");
  EXPECT_TRUE(eventually([&] { return after.load(); }));  // on the worker that replaced it
  EXPECT_TRUE(eventually([&] { return pool.is_idle(); }));
  EXPECT_FALSE(pool.is_pending_or_running(id));
}

TEST(ThreadPoolErrors, HandlerReplacesTheLineAndAThrowingHandlerIsReported) {
  CaptureCerr captured;
  ThreadPool pool(1, 10);
  std::mutex m;
  std::vector<std::string> seen;
  pool.set_exception_handler(
      [&](ThreadPool::TaskId id, std::string_view name, std::exception_ptr e) {
        try {
          std::rethrow_exception(e);
        } catch (const std::exception& ex) {
          std::lock_guard<std::mutex> lock(m);
          seen.push_back(std::to_string(id) + " " + std::string(name) + " " + ex.what());
        }
        if (name == "rethrow") throw std::logic_error("handler failed");
      });
  pool.add_task([] { throw std::runtime_error("a"); }, "first");
  pool.add_task([] { throw std::runtime_error("b"); }, "rethrow");
  pool.wait_idle();
  pool.set_exception_handler(nullptr);  // back to the default line
  pool.add_task([] { throw std::runtime_error("c"); }, "default");
  pool.wait_idle();
  EXPECT_EQ(seen, (std::vector<std::string>{"0 first a", "1 rethrow b"}));
  EXPECT_EQ(captured.text(),
            "Exception in exception handler for task \"rethrow\": handler failed\n"
            "Exception in task \"default\": c\n");
  const auto stats = pool.stats();
  EXPECT_EQ(stats.submitted, 3u);
  EXPECT_EQ(stats.completed, 3u);
  EXPECT_EQ(stats.failed, 3u);
}

// Submissions with futures, recurring series, waits and removals from several
// threads at once, with exact accounting.
TEST(ThreadPoolStress, SubmitSeriesWaitsAndRemovalsAccountExactly) {
  constexpr int kSubmitters = 2, kPerSubmitter = 600, kSeries = 8;
  ThreadPool pool(3, 32);
  std::atomic<std::uint64_t> removes{0}, runs{0};
  std::vector<std::atomic<int>> ran(kSubmitters * kPerSubmitter);
  struct SeriesState {
    std::atomic<int> runs{0};
    std::atomic<bool> in_run{false};
    std::atomic<bool> overlapped{false};
  };
  std::vector<SeriesState> series(kSeries);
  std::vector<ThreadPool::TaskId> series_ids(kSeries);
  for (int s = 0; s < kSeries; ++s) {
    series_ids[static_cast<std::size_t>(s)] = pool.add_recurring(
        [&, s] {
          SeriesState& st = series[static_cast<std::size_t>(s)];
          if (st.in_run.exchange(true)) st.overlapped = true;
          ++st.runs;
          ++runs;
          st.in_run = false;
        },
        ThreadPool::Duration(0), ThreadPool::Duration(s % 2 == 0 ? 1ms : 3ms),
        tamu::cat("series ", static_cast<std::uint64_t>(s)),
        s % 3 == 0 ? ThreadPool::Recurrence::fixed_delay : ThreadPool::Recurrence::fixed_rate);
  }
  std::mutex issued_mutex;
  std::vector<ThreadPool::TaskId> issued;
  std::atomic<bool> stop{false};
  std::thread meddler([&] {
    std::mt19937_64 rng(5);
    while (!stop) {
      ThreadPool::TaskId id = 0;
      {
        std::lock_guard<std::mutex> lock(issued_mutex);
        if (issued.empty()) continue;
        id = issued[rng() % issued.size()];
      }
      if (rng() % 2 == 0) {
        if (pool.remove_pending_task(id)) ++removes;
      } else {
        pool.wait_for(id, ThreadPool::Duration(1ms));
      }
      (void)pool.get_pending_task_ids(8);
      (void)pool.stats();
    }
  });
  std::vector<std::thread> submitters;
  std::vector<std::vector<ThreadPool::Submission<int>>> results(kSubmitters);
  for (int t = 0; t < kSubmitters; ++t) {
    submitters.emplace_back([&, t] {
      for (int i = 0; i < kPerSubmitter; ++i) {
        const int k = t * kPerSubmitter + i;
        for (;;) {
          try {
            auto sub = pool.submit(
                [&, k] {
                  ++ran[static_cast<std::size_t>(k)];
                  ++runs;
                  return k;
                },
                i % 5 == 0 ? ThreadPool::Duration(1ms) : ThreadPool::Duration(0));
            {
              std::lock_guard<std::mutex> lock(issued_mutex);
              issued.push_back(sub.id);
            }
            results[static_cast<std::size_t>(t)].push_back(std::move(sub));
            break;
          } catch (const vexo::Error&) {
            (void)pool.add_task_wait([] {}, ThreadPool::Duration(1ms));  // a filler, also counted
            std::this_thread::yield();
          }
        }
      }
    });
  }
  for (auto& t : submitters) t.join();
  for (ThreadPool::TaskId id : series_ids) {
    if (pool.remove_pending_task(id)) ++removes;
    pool.wait(id);
  }
  pool.wait_idle();
  stop = true;
  meddler.join();
  std::uint64_t got = 0, broken = 0;
  for (int t = 0; t < kSubmitters; ++t) {
    for (auto& sub : results[static_cast<std::size_t>(t)]) {
      try {
        const int k = sub.result.get();
        ASSERT_EQ(ran[static_cast<std::size_t>(k)].load(), 1);
        ++got;
      } catch (const std::future_error&) {
        ++broken;
      }
    }
  }
  int total_ran = 0;
  for (auto& r : ran) total_ran += r.load();
  EXPECT_EQ(got, static_cast<std::uint64_t>(total_ran));
  EXPECT_EQ(got + broken, static_cast<std::uint64_t>(kSubmitters * kPerSubmitter));
  for (SeriesState& st : series) EXPECT_FALSE(st.overlapped.load());
  const auto stats = pool.stats();
  EXPECT_EQ(stats.removed, removes.load());
  EXPECT_EQ(stats.removed, broken + kSeries);  // every series ended by removal
  // Every submission ran or was removed: fillers ran, series ran many times.
  std::uint64_t series_runs = 0;
  for (SeriesState& st : series) series_runs += static_cast<std::uint64_t>(st.runs.load());
  const std::uint64_t fillers = stats.submitted - kSubmitters * kPerSubmitter - kSeries;
  EXPECT_EQ(stats.completed, got + series_runs + fillers);
  EXPECT_EQ(runs.load(), got + series_runs);
  EXPECT_TRUE(pool.is_idle());
}

#if defined(VEXO_TEST_ALLOCATIONS_COUNTED)
TEST(ThreadPoolFaults, AReplacementWorkerThatCannotStartIsReportedAndRetried) {
  ThreadPool pool(1, 10);
  std::mutex mutex;
  std::vector<std::pair<ThreadPool::TaskId, std::string>> reported;
  std::atomic<bool> ran_from_handler{false};
  pool.set_exception_handler([&](ThreadPool::TaskId id, std::string_view name, std::exception_ptr) {
    vexo::test::t_fail_allocations = false;  // on the ending thread, after the failed start
    {
      std::lock_guard<std::mutex> lock(mutex);
      reported.emplace_back(id, std::string(name));
    }
    // A submission made as soon as the failure is known starts the worker.
    pool.add_task([&] { ran_from_handler = true; }, "from the handler");
  });
  const auto exits = pool.add_task(
      [] {
        vexo::test::t_fail_allocations = true;  // the replacement's start fails
        pthread_exit(nullptr);
      },
      "exits");
  ASSERT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return !reported.empty();
  }));
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(reported.front().first, exits);
    EXPECT_EQ(reported.front().second, "exits");
  }
  EXPECT_TRUE(eventually([&] { return ran_from_handler.load(); }));
  // The next submission starts the missing worker.
  std::atomic<bool> ran{false};
  pool.add_task([&] { ran = true; }, "after");
  EXPECT_TRUE(eventually([&] { return ran.load(); }));
}
#endif

}  // namespace
