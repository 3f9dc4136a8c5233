// The pool's construction, submission, back-pressure, queries and removal, and the task type
// that carries its callables.
#include "vexo/util/ThreadPool.hpp"

#include <dirent.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
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
// Allocations can be made to fail (vexo::test::t_fail_allocations).
#define VEXO_TEST_COUNT_ALLOCATIONS 1
#include "pool_test_names.hpp"
#include "test_support.hpp"

namespace {

using namespace vexo::test::pool_names;

TEST(ThreadPoolConstruction, RejectsIllegalArgumentsWithExactMessages) {
  EXPECT_EQ(error_message([] { ThreadPool(0, 1); }),
            "Illegal number of threads for thread pool: 0");
  EXPECT_EQ(error_message([] { ThreadPool(10001, 1); }),
            "Illegal number of threads for thread pool: 10001");
  EXPECT_EQ(error_message([] { ThreadPool(0, 0); }),  // thread count is checked first
            "Illegal number of threads for thread pool: 0");
  EXPECT_EQ(error_message([] { ThreadPool(1, 0); }), "Illegal capacity for thread pool: 0");
}

TEST(ThreadPoolConstruction, NewPoolIsEmptyAndIdle) {
  ThreadPool pool(3, 5);
  EXPECT_EQ(pool.num_threads(), 3u);
  EXPECT_EQ(pool.capacity(), 5u);
  EXPECT_TRUE(pool.is_empty());
  EXPECT_TRUE(pool.is_idle());
  EXPECT_FALSE(pool.is_full());
  EXPECT_EQ(pool.num_pending(), 0u);
  EXPECT_TRUE(pool.get_running_task_ids().empty());
  EXPECT_TRUE(pool.get_running_task_names().empty());
  EXPECT_FALSE(pool.is_pending_or_running(0));
}

#if !defined(VEXO_TEST_TSAN)  // TSan caps the number of live threads below 10000
TEST(ThreadPoolConstruction, AcceptsTheLargestThreadCount) {
  ThreadPool pool(10000, 1);
  EXPECT_EQ(pool.num_threads(), 10000u);
  std::atomic<bool> ran{false};
  pool.add_task([&] { ran = true; });
  EXPECT_TRUE(eventually([&] { return ran.load(); }));
}
#endif

// Run in a child process whose user may start only a few threads: the
// constructor must join the workers it started and let std::system_error out.
TEST(ThreadPoolConstruction, FailedWorkerStartStopsTheStartedOnes) {
#if defined(VEXO_TEST_TSAN)
  GTEST_SKIP() << "TSan does not support starting threads after fork";
#else
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    // Root is exempt from RLIMIT_NPROC, so run as an unprivileged user.
    if (geteuid() == 0) {
      const passwd* nobody = getpwnam("nobody");
      const uid_t uid = nobody != nullptr ? nobody->pw_uid : 65534;
      if (setgid(uid) != 0 || setuid(uid) != 0) _exit(3);
    }
    const rlimit limit{8, 8};
    if (setrlimit(RLIMIT_NPROC, &limit) != 0) _exit(4);
    // The threads of the process before the pool: this one, and under
    // qemu-user the emulator's own.
    const auto count_tasks = [] {
      int tasks = 0;
      if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) tasks += entry->d_name[0] != '.';
        closedir(dir);
      }
      return tasks;
    };
    const int before = count_tasks();
    try {
      ThreadPool pool(64, 1);
      _exit(5);  // every worker started: the limit did not bite
    } catch (const std::system_error&) {
      // No worker may be left.
      _exit(count_tasks() == before ? 0 : 6);
    } catch (...) {
      _exit(7);
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "3/4: could not drop privileges or set the limit; "
                                       "5: limit did not bite; 6: workers left; 7: wrong error";
#endif
}

TEST(ThreadPoolSubmission, IdsAreSequentialAndAFullQueueRejectsWithoutUsingOne) {
  ThreadPool pool(1, 2);
  const auto later = Clock::now() + 1h;
  EXPECT_EQ(pool.add_task([] {}, later, "a"), 0u);
  EXPECT_EQ(pool.add_task([] {}, later, "b"), 1u);
  EXPECT_TRUE(pool.is_full());
  EXPECT_EQ(error_message([&] { pool.add_task([] {}, later, "c"); }),
            "Cannot add task: Pending queue has reached capacity (2)");
  EXPECT_TRUE(pool.remove_pending_task(0));
  EXPECT_EQ(pool.add_task([] {}, later, "d"), 2u);
}

TEST(ThreadPoolSubmission, RunningTasksDoNotCountAgainstCapacity) {
  ThreadPool pool(2, 1);
  Gate release;
  Latch started(2);
  for (int i = 0; i < 2; ++i) {
    pool.add_task([&] {
      started.count_down();
      release.wait();
    });
    ASSERT_TRUE(eventually([&] { return pool.is_empty(); }));
  }
  started.wait();
  pool.add_task([] {}, Clock::now() + 1h);
  EXPECT_TRUE(pool.is_full());
  release.open();
}

TEST(ThreadPoolInspection, RunningTaskIsReportedAsRunningOnly) {
  ThreadPool pool(2, 10);
  Gate release;
  Latch started(1);
  std::atomic<bool> sees_itself_running{false};
  ThreadPool::TaskId id = 0;
  std::atomic<bool> id_known{false};
  id = pool.add_task(
      [&] {
        started.count_down();
        while (!id_known) std::this_thread::yield();
        sees_itself_running = pool.is_running(id);
        release.wait();
      },
      "worker-task");
  id_known = true;
  started.wait();
  ASSERT_TRUE(eventually([&] { return sees_itself_running.load(); }));
  EXPECT_TRUE(pool.is_running(id));
  EXPECT_TRUE(pool.is_pending_or_running(id));
  EXPECT_FALSE(pool.is_pending(id));
  EXPECT_TRUE(pool.is_empty());
  EXPECT_FALSE(pool.is_idle());
  EXPECT_FALSE(pool.remove_pending_task(id));  // running tasks cannot be removed
  auto names = pool.get_running_task_names();
  ASSERT_EQ(names.size(), 1u);
  EXPECT_EQ(names[0], "worker-task");
  release.open();
  ASSERT_TRUE(eventually([&] { return pool.is_idle(); }));
  EXPECT_FALSE(pool.is_pending_or_running(id));
}

TEST(ThreadPoolInspection, ListsRunningTasksByIdBeyondInlineRoom) {
  constexpr int kWorkers = 20;
  ThreadPool pool(kWorkers, 100);
  Gate release;
  Latch started(kWorkers);
  std::vector<ThreadPool::TaskId> ids;
  for (int i = 0; i < kWorkers; ++i) {
    ids.push_back(pool.add_task(
        [&] {
          started.count_down();
          release.wait();
        },
        tamu::cat("t", static_cast<std::uint64_t>(i))));
  }
  started.wait();
  const auto running = pool.get_running_task_ids();
  EXPECT_EQ(std::vector<ThreadPool::TaskId>(running.begin(), running.end()), ids);
  const auto names = pool.get_running_task_names();
  ASSERT_EQ(names.size(), static_cast<std::uint32_t>(kWorkers));
  for (int i = 0; i < kWorkers; ++i)
    EXPECT_EQ(names[static_cast<std::uint32_t>(i)], tamu::cat("t", static_cast<std::uint64_t>(i)));
  release.open();
}

TEST(ThreadPoolRemoval, RemovedTasksNeverRunAndFreeTheirRoom) {
  ThreadPool pool(2, 5);
  std::atomic<int> runs{0};
  std::vector<ThreadPool::TaskId> ids;
  for (int i = 0; i < 5; ++i) ids.push_back(pool.add_task([&] { ++runs; }, 1h));
  EXPECT_TRUE(pool.is_full());
  EXPECT_TRUE(pool.remove_pending_task(ids[2]));
  EXPECT_FALSE(pool.remove_pending_task(ids[2]));
  EXPECT_FALSE(pool.remove_pending_task(12345));  // never issued
  EXPECT_FALSE(pool.is_pending(ids[2]));
  EXPECT_TRUE(pool.is_pending(ids[3]));
  EXPECT_FALSE(pool.is_full());
  EXPECT_EQ(pool.add_task([&] { ++runs; }, 1h), 5u);
  EXPECT_EQ(pool.remove_pending_tasks(), 5u);
  EXPECT_EQ(pool.remove_pending_tasks(), 0u);
  EXPECT_TRUE(pool.is_idle());
  pool.submit([] {}).result.get();  // a worker has taken from the queue since
  EXPECT_EQ(runs.load(), 0);
}

// A callable whose destructor calls back into its pool. If the pool destroyed
// it while holding its own lock, the call would deadlock.
struct CallsPoolOnDestruction {
  ThreadPool* pool;
  std::shared_ptr<std::atomic<int>> destroyed;
  void operator()() const {}
  CallsPoolOnDestruction(ThreadPool* p, std::shared_ptr<std::atomic<int>> d)
      : pool(p), destroyed(std::move(d)) {}
  CallsPoolOnDestruction(const CallsPoolOnDestruction&) = default;
  CallsPoolOnDestruction(CallsPoolOnDestruction&& o) noexcept
      : pool(std::exchange(o.pool, nullptr)), destroyed(std::move(o.destroyed)) {}
  ~CallsPoolOnDestruction() {
    if (pool != nullptr) {
      (void)pool->num_pending();
      ++*destroyed;
    }
  }
};

TEST(ThreadPoolRemoval, CallablesAreDestroyedWithoutThePoolLockHeld) {
  auto destroyed = std::make_shared<std::atomic<int>>(0);
  {
    ThreadPool pool(1, 10);
    const auto one = pool.add_task(CallsPoolOnDestruction(&pool, destroyed), 1h);
    pool.add_task(CallsPoolOnDestruction(&pool, destroyed), 1h);
    EXPECT_TRUE(pool.remove_pending_task(one));
    EXPECT_EQ(destroyed->load(), 1);
    EXPECT_EQ(pool.remove_pending_tasks(), 1u);
    EXPECT_EQ(destroyed->load(), 2);
    pool.add_task(CallsPoolOnDestruction(&pool, destroyed));  // runs, then destroyed by the worker
    ASSERT_TRUE(eventually([&] { return destroyed->load() == 3; }));
    pool.add_task(CallsPoolOnDestruction(&pool, destroyed), 1h);  // discarded by the destructor
  }
  EXPECT_EQ(destroyed->load(), 4);
}

TEST(ThreadPoolSubmission, TaskMaySubmitToItsOwnPool) {
  ThreadPool pool(1, 10);
  std::atomic<bool> inner_ran{false};
  pool.add_task([&] { pool.add_task([&] { inner_ran = true; }, "inner"); }, "outer");
  EXPECT_TRUE(eventually([&] { return inner_ran.load(); }));
}

// --- Contracts of the scheduler rewrite ------------------------------------

// A name must be text: add_task(f, 0) and add_task(f, nullptr) do not
// compile; names, Durations and TimePoints do.
template <typename Pool>
constexpr bool accepts_zero_name = requires(Pool& p, std::function<void()> f) {
  p.add_task(f, 0);
};
template <typename Pool>
constexpr bool accepts_null_name = requires(Pool& p, std::function<void()> f) {
  p.add_task(f, nullptr);
};
template <typename Pool>
constexpr bool accepts_names_and_times = requires(Pool& p, std::function<void()> f) {
  p.add_task(f, "name");
  p.add_task(f);
  p.add_task(f, ThreadPool::Duration(1), "name");
  p.add_task(f, ThreadPool::TimePoint{}, "name");
  p.add_work(f, "name");
};
template <typename Pool>
constexpr bool submit_accepts_zero_name = requires(Pool& p, std::function<void()> f) {
  p.submit(f, 0);
};
static_assert(!submit_accepts_zero_name<ThreadPool>);
static_assert(!accepts_zero_name<ThreadPool>);
static_assert(!accepts_null_name<ThreadPool>);
static_assert(accepts_names_and_times<ThreadPool>);

TEST(ThreadPoolSubmit, FuturesCarryResultsExceptionsAndBrokenPromises) {
  ThreadPool pool(1, 3);
  auto value = pool.submit([] { return 42; }, "value");
  auto move_only = pool.submit([p = std::make_unique<int>(7)] { return *p; });
  EXPECT_EQ(value.result.get(), 42);
  EXPECT_EQ(move_only.result.get(), 7);
  CaptureCerr captured;
  auto thrown = pool.submit([]() -> int { throw std::runtime_error("boom"); });
  EXPECT_THROW(thrown.result.get(), std::runtime_error);
  // Removed before it ran: a broken promise, so no waiter hangs.
  auto removed = pool.submit([] { return 1; }, ThreadPool::Duration(1h), "removed");
  auto discarded = pool.submit([] {}, Steady::now() + 1h, "discarded");
  auto cleared = pool.submit([] {}, Clock::now() + 1h);
  EXPECT_TRUE(pool.remove_pending_task(removed.id));
  EXPECT_EQ(pool.remove_pending_tasks(), 2u);
  for (std::future_errc e : {std::future_errc::broken_promise}) {
    try {
      removed.result.get();
      ADD_FAILURE() << "no exception";
    } catch (const std::future_error& error) {
      EXPECT_EQ(error.code(), e);
    }
    EXPECT_THROW(discarded.result.get(), std::future_error);
    EXPECT_THROW(cleared.result.get(), std::future_error);
  }
  // A full queue throws as add_task does, and nothing is queued.
  for (int i = 0; i < 3; ++i) pool.add_task([] {}, ThreadPool::Duration(1h));
  const auto before = pool.stats().submitted;
  EXPECT_EQ(error_message([&] { pool.submit([] { return 0; }); }),
            "Cannot add task: Pending queue has reached capacity (3)");
  EXPECT_EQ(pool.stats().submitted, before);
  EXPECT_EQ(pool.num_pending(), 3u);
  pool.remove_pending_tasks();
  EXPECT_EQ(captured.text(), "");  // the future took the exception
}

TEST(ThreadPoolBackPressure, TryAddAndAddWait) {
  ThreadPool pool(1, 1);
  Gate release;
  Latch started(1);
  pool.add_task([&] {
    started.count_down();
    release.wait();
  });
  started.wait();
  const auto queued = pool.try_add_task([] {}, "queued");
  ASSERT_TRUE(queued.has_value());
  EXPECT_FALSE(pool.try_add_task([] {}, "rejected").has_value());
  EXPECT_FALSE(pool.add_task_wait([] {}, ThreadPool::Duration(20ms)).has_value());
  std::thread opener([&] {
    std::this_thread::sleep_for(30ms);
    release.open();  // the running task ends, the worker takes "queued": room
  });
  const auto t0 = Steady::now();
  const auto waited = pool.add_task_wait([] {}, ThreadPool::Duration(20s), "waited");
  opener.join();
  ASSERT_TRUE(waited.has_value());
  EXPECT_EQ(*waited, *queued + 1);  // the rejected submissions used no id
  EXPECT_LT(Steady::now() - t0, 10s);
  pool.wait_idle();
}

TEST(ThreadPoolInspection, PendingListingsStatsAndWorkerNames) {
  ThreadPool pool(1, 10, ThreadPool::Options{"a-long-pool-name"});
  const auto later = ThreadPool::Duration(1h);
  pool.add_task([] {}, Steady::now() + 1h, "c");
  pool.add_task([] {}, later, "b");
  pool.add_task([] {}, Clock::now() + 1h, "a");
  const auto ids = pool.get_pending_task_ids();
  EXPECT_EQ(std::vector<ThreadPool::TaskId>(ids.begin(), ids.end()),
            (std::vector<ThreadPool::TaskId>{0, 1, 2}));
  const auto names = pool.get_pending_task_names(2);
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.end()),
            (std::vector<std::string>{"c", "b"}));
  auto thread_name = pool.submit([] {
    char name[32] = {};
    pthread_getname_np(pthread_self(), name, sizeof name);
    return std::string(name);
  });
  EXPECT_EQ(thread_name.result.get(), "a-long-pool-n-0");  // 15 characters at most
  pool.wait(thread_name.id);
  EXPECT_EQ(pool.remove_pending_tasks(), 3u);
  const auto stats = pool.stats();
  EXPECT_EQ(stats.submitted, 4u);
  EXPECT_EQ(stats.completed, 1u);
  EXPECT_EQ(stats.removed, 3u);
  EXPECT_GT(stats.total_run_time.count(), 0);
  EXPECT_GE(stats.total_run_time, stats.max_run_time);
  EXPECT_GE(stats.total_queue_wait, stats.max_queue_wait);
}

TEST(ThreadPoolFaults, AThreadNameIsCutAtACharacterBoundary) {
  // Sixteen bytes of two-byte characters: 13 bytes fit before "-0", which
  // would split the seventh character.
  ThreadPool pool(
      1, 10,
      ThreadPool::Options{"\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4"});
  auto name = pool.submit([] {
    char buffer[16] = {};
    pthread_getname_np(pthread_self(), buffer, sizeof buffer);
    return std::string(buffer);
  });
  EXPECT_EQ(name.result.get(), "\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4\xc3\xa4-0");
}

// --- The task type -----------------------------------------------------------

using vexo::util::Task;
static_assert(!std::is_copy_constructible_v<Task> && !std::is_copy_assignable_v<Task>);
static_assert(std::is_nothrow_move_constructible_v<Task> && sizeof(Task) == 32);
// Callables that own a std::unique_ptr, as a lambda capturing one does.
struct MoveOnlyCall {
  std::unique_ptr<int> owned;
  void operator()() const {}
};
struct MoveOnlyTokenCall {
  std::unique_ptr<int> owned;
  void operator()(std::stop_token) const {}
};
struct MoveOnlyResult {
  std::unique_ptr<int> owned;
  int operator()() const { return 1; }
};
template <class Pool>
constexpr bool accepts_move_only = requires(Pool& p) {
  p.add_task(MoveOnlyCall{}, "move-only");
  p.add_task(MoveOnlyTokenCall{}, "token");
  p.add_recurring(MoveOnlyTokenCall{}, 1s, 1s);
  p.submit(MoveOnlyResult{}, "submit");
  p.add_task(std::function<void()>([] {}), "std::function");
};
static_assert(accepts_move_only<ThreadPool>);
// A Task that holds a move-only callable is itself never copied.
static_assert(!std::is_constructible_v<Task, const Task&>);

TEST(ThreadPoolTask, StoresSmallCallablesInlineAndKeepsThemWhenAQueueRefuses) {
#if defined(VEXO_TEST_ALLOCATIONS_COUNTED)
  struct Small {
    void* a;
    void* b;
    void* c;
    void operator()() const {}
  };
  struct Large {
    void* a[4];
    void operator()() const {}
  };
  // The Task's address escapes, so that -O3 cannot elide the allocation.
  auto escape = [](void* p) { asm volatile("" : : "g"(p) : "memory"); };
  EXPECT_EQ(vexo::test::allocations_in([&] {
              Task t{Small{}};
              escape(&t);
            }),
            0);
  EXPECT_EQ(vexo::test::allocations_in([&] {
              Task t{Large{}};
              escape(&t);
            }),
            1);
#endif
  ThreadPool pool(1, 1);
  Gate release;
  Gate started;
  pool.add_task([&] {
    started.open();
    release.wait();
  });
  started.wait();
  pool.add_task([] {}, "fills the queue");
  std::atomic<int> value{0};
  Task task([p = std::make_unique<int>(42), &value] { value = *p; });
  EXPECT_FALSE(pool.try_add_task(std::move(task), "refused"));
  EXPECT_FALSE(pool.add_task_wait(std::move(task), 1ms, "refused"));
  ASSERT_TRUE(task);  // still the caller's
  release.open();
  ASSERT_TRUE(eventually([&] { return !pool.is_full(); }));
  ASSERT_TRUE(pool.add_task_wait(std::move(task), 60s, "accepted"));
  EXPECT_FALSE(task);
  pool.wait_idle();
  EXPECT_EQ(value, 42);
}

#if defined(VEXO_TEST_ALLOCATIONS_COUNTED)
// A submission that runs out of memory changes nothing, its id included: ids
// stay 0, 1, 2, ... over the successful ones.
TEST(ThreadPoolTask, ASubmissionThatRunsOutOfMemoryUsesNoId) {
  ThreadPool pool(1, SIZE_MAX);
  EXPECT_EQ(pool.add_task([] {}, 1h), 0u);
  for (int i = 0; i < 3; ++i) {
    vexo::test::t_fail_allocations = true;
    EXPECT_THROW(pool.add_recurring([] {}, 1h, 1h), std::bad_alloc);
    vexo::test::t_fail_allocations = false;
  }
  EXPECT_EQ(pool.add_recurring([] {}, 1h, 1h), 1u);
  EXPECT_EQ(pool.add_task([] {}, 1h), 2u);
  EXPECT_EQ(pool.num_pending(), 3u);
}

TEST(ThreadPoolTask, SubmitAllocatesNoMoreThanAPackagedTaskAndItsFuture) {
  ThreadPool pool(1, 1000);
  pool.submit([] { return 1; }).result.get();  // the store's first chunk
  const long packaged = vexo::test::allocations_in([] {
    std::packaged_task<int()> task([] { return 1; });
    auto future = task.get_future();
    task();
    (void)future.get();
  });
  const long submitted =
      vexo::test::allocations_in([&] { (void)pool.submit([] { return 1; }).result.get(); });
  EXPECT_EQ(submitted, packaged);
}
#endif

}  // namespace
