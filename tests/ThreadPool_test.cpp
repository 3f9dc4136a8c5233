#include "vexo/util/ThreadPool.hpp"

#include <dirent.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "tamu/cat.hpp"
#include "test_support.hpp"

namespace {

using namespace std::chrono_literals;
using vexo::test::error_message;
using vexo::util::ThreadPool;
using Clock = std::chrono::system_clock;

// A one-way gate: threads wait until it is opened. Tests use it to hold tasks
// in a known phase instead of sleeping.
class Gate {
 public:
  void open() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = true;
    }
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool open_ = false;
};

// Counts down to zero; wait() blocks until then.
class Latch {
 public:
  explicit Latch(int count) : count_(count) {}
  void count_down() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--count_ == 0) cv_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return count_ <= 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int count_;
};

// Waits (generously) until `done` holds; returns its last value.
bool eventually(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// Sends std::cerr to a string for the lifetime of the object.
class CaptureCerr {
 public:
  CaptureCerr() : old_(std::cerr.rdbuf(buffer_.rdbuf())) {}
  ~CaptureCerr() { std::cerr.rdbuf(old_); }
  std::string text() const { return buffer_.str(); }

 private:
  std::ostringstream buffer_;
  std::streambuf* old_;
};

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
    try {
      ThreadPool pool(64, 1);
      _exit(5);  // every worker started: the limit did not bite
    } catch (const std::system_error&) {
      // Only this thread may be left.
      int tasks = 0;
      if (DIR* dir = opendir("/proc/self/task")) {
        while (const dirent* entry = readdir(dir)) tasks += entry->d_name[0] != '.';
        closedir(dir);
      }
      _exit(tasks == 1 ? 0 : 6);
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
  std::this_thread::sleep_for(20ms);
  EXPECT_TRUE(pool.is_pending(id));
}

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
  std::this_thread::sleep_for(20ms);
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

TEST(ThreadPoolSubmission, TaskMaySubmitToItsOwnPool) {
  ThreadPool pool(1, 10);
  std::atomic<bool> inner_ran{false};
  pool.add_task([&] { pool.add_task([&] { inner_ran = true; }, "inner"); }, "outer");
  EXPECT_TRUE(eventually([&] { return inner_ran.load(); }));
}

// Every accepted task runs exactly once or is removed, under several
// submitters, tasks that submit tasks, and concurrent removals and queries.
class ThreadPoolStress : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ThreadPoolStress, EveryAcceptedTaskRunsExactlyOnceOrIsRemoved) {
  constexpr int kSubmitters = 3;
  constexpr int kPerSubmitter = 1500;
  constexpr std::size_t kMaxIds = 4 * kSubmitters * kPerSubmitter;
  std::vector<std::atomic<int>> runs(kMaxIds);
  std::vector<std::atomic<int>> removed(kMaxIds);
  std::atomic<bool> stop_meddling{false};
  std::atomic<std::uint64_t> accepted{0};
  {
    ThreadPool pool(GetParam(), 256);
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
      };
      const auto start = seed % 7 == 0 ? ThreadPool::Duration(2ms) : ThreadPool::Duration(0);
      for (;;) {
        try {
          const auto id =
              pool.add_task(body, start, tamu::cat("t", static_cast<std::uint64_t>(seed)));
          ASSERT_LT(id, kMaxIds);
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
        const std::uint64_t id = rng() % (accepted.load() + 1);
        if (pool.remove_pending_task(id)) removed[id].fetch_add(1);
        (void)pool.is_pending_or_running(id);
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

INSTANTIATE_TEST_SUITE_P(Workers, ThreadPoolStress, ::testing::Values(1, 2, 8));

}  // namespace
