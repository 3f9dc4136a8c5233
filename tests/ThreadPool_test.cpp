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

#include "pending_store.hpp"  // the pool's private pending-task store, header-only
#include "scheduler.hpp"      // and its scheduler, built into this test too
#include "tamu/cat.hpp"
// Allocations can be made to fail (vexo::test::t_fail_allocations).
#define VEXO_TEST_COUNT_ALLOCATIONS 1
#include "test_support.hpp"

// The wall clock of this process, shifted by g_wall_shift_ns: every call of
// clock_gettime (std::chrono's clocks included) comes here. The real time
// comes from the system call, so nothing is looked up while the process
// starts.
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

using namespace std::chrono_literals;
using vexo::test::error_message;
using vexo::test::Gate;
using vexo::util::ThreadPool;
using Clock = std::chrono::system_clock;

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

// Sends file descriptor 2 to a temporary file for the lifetime of the object.
class CaptureStderrFd {
 public:
  CaptureStderrFd() : file_(std::tmpfile()), saved_(dup(STDERR_FILENO)) {
    std::fflush(stderr);
    dup2(fileno(file_), STDERR_FILENO);
  }
  ~CaptureStderrFd() {
    restore();
    std::fclose(file_);
  }
  std::string text() {
    restore();
    std::string out;
    std::rewind(file_);
    for (int c; (c = std::fgetc(file_)) != EOF;) out.push_back(static_cast<char>(c));
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    dup2(saved_, STDERR_FILENO);
    close(saved_);
    saved_ = -1;
  }
  std::FILE* file_;
  int saved_;
};

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

// The pending-task store against a plain model: a vector scanned in full.
// Re-added ids (as a series' next run) carry kRenewSeq, so that their due
// order comes from the sequence number given when they become due.
TEST(PendingStore, MatchesAPlainModelOverRandomOperations) {
  using vexo::util::detail::PendingStore;
  using vexo::util::detail::PendingTask;
  using vexo::util::detail::StartClock;
  struct Model {
    std::uint64_t id;
    StartClock clock;
    std::int64_t start;
    bool due;
    bool renew;
    std::uint8_t flags;
    PendingStore::Seq seq;  // once due
  };
  std::mt19937_64 rng(20261208);
  PendingStore store;
  std::vector<Model> model;
  std::vector<std::uint64_t> gone;  // ids taken or removed, for re-adds (as a series does)
  std::int64_t wall = -1000, steady = 5000;
  std::uint64_t next_id = 0;
  std::uint64_t renewals = 0;
  // As the pool does: behind every id issued so far, ahead of the next one.
  auto renewed_seq = [&] { return (next_id << PendingStore::kSeqShift) + 1 + (renewals++ % 4000); };
  auto name_of = [](std::uint64_t id) { return tamu::cat("task ", id); };
  auto find = [&](std::uint64_t id) {
    return std::find_if(model.begin(), model.end(), [id](const Model& m) { return m.id == id; });
  };
  for (int op = 0; op < 60000; ++op) {
    // Phases of growth and of draining, so that the table grows and shrinks
    // and tombstones pile up.
    const bool growing = (op / 5000) % 2 == 0;
    const auto r = rng() % 16;
    if (r < (growing ? 7u : 3u)) {
      std::uint64_t id = next_id;
      bool renew = false;
      if (!gone.empty() && rng() % 8 == 0) {
        const auto i = rng() % gone.size();
        id = gone[i];
        gone.erase(gone.begin() + static_cast<std::ptrdiff_t>(i));
        renew = true;
      } else {
        ++next_id;
      }
      const auto clock = static_cast<StartClock>(rng() % 3);
      const std::int64_t start =
          (clock == StartClock::wall ? wall : steady) + static_cast<std::int64_t>(rng() % 200) - 20;
      const auto flags =
          static_cast<std::uint8_t>((id % 16) | (renew ? PendingStore::kRenewSeq : 0));
      const PendingStore::Seq renewed = renewed_seq();
      store.add(id, clock, start, steady, vexo::util::Task([] {}), name_of(id), flags, renewed);
      const bool due = clock == StartClock::due;
      model.push_back({id, clock, start, due, renew, flags,
                       due ? (renew ? renewed : PendingStore::seq_of(id)) : 0});
    } else if (r < 10) {
      const std::uint64_t id = rng() % (next_id + 2);
      PendingTask out;
      const auto it = find(id);
      ASSERT_EQ(store.remove(id, &out), it != model.end()) << "remove " << id;
      if (it != model.end()) {
        EXPECT_EQ(out.name, name_of(id));
        EXPECT_EQ(out.flags, it->flags);
        model.erase(it);
        gone.push_back(id);
      }
    } else if (r < 14) {
      const PendingStore::Seq renewed = renewed_seq();
      store.promote(wall, steady, renewed);
      for (Model& m : model) {
        const bool now_due = (m.clock == StartClock::wall && m.start <= wall) ||
                             (m.clock == StartClock::steady && m.start <= steady);
        if (!m.due && now_due) {
          m.due = true;
          m.seq = m.renew ? renewed : PendingStore::seq_of(m.id);
        }
      }
      auto best = model.end();
      for (auto it = model.begin(); it != model.end(); ++it) {
        if (it->due && (best == model.end() || it->seq < best->seq)) best = it;
      }
      ASSERT_EQ(store.has_due(), best != model.end());
      if (best == model.end()) continue;
      PendingTask out;
      std::int64_t ready = 0;
      const std::uint64_t taken = store.take(&out, &ready);
      // Runs renewed by one promote() tie; any of them may come first.
      const auto it = find(taken);
      ASSERT_TRUE(it != model.end() && it->due && it->seq == best->seq) << "took " << taken;
      EXPECT_EQ(out.name, name_of(taken));
      gone.push_back(taken);
      model.erase(it);
    } else if (r == 14) {
      wall += static_cast<std::int64_t>(rng() % 40);
      steady += static_cast<std::int64_t>(rng() % 40);
    } else if (rng() % 64 == 0) {
      std::vector<std::uint64_t> ids;
      store.list(10, [&](std::uint64_t id, const std::string& name) {
        EXPECT_EQ(name, name_of(id));
        ids.push_back(id);
      });
      std::vector<std::uint64_t> expected;
      for (const Model& m : model) expected.push_back(m.id);
      std::sort(expected.begin(), expected.end());
      expected.resize(std::min<std::size_t>(expected.size(), 10));
      ASSERT_EQ(ids, expected);
    } else {
      // A due task taken out of order, as a waiting task runs it in place.
      const std::uint64_t id = rng() % (next_id + 2);
      const auto it = find(id);
      const bool due = it != model.end() && it->due;
      PendingTask out;
      std::int64_t ready = 0;
      ASSERT_EQ(store.take_due(id, &out, &ready), due) << "take_due " << id;
      if (due) {
        EXPECT_EQ(out.name, name_of(id));
        model.erase(it);
        gone.push_back(id);
      }
    }
    // Invariants after every operation.
    ASSERT_EQ(store.size(), model.size());
    if (op % 64 == 0) {
      ASSERT_TRUE(store.valid()) << "after operation " << op;
    }
    for (const StartClock clock : {StartClock::wall, StartClock::steady}) {
      std::int64_t earliest = std::numeric_limits<std::int64_t>::max();
      bool any = false;
      for (const Model& m : model) {
        if (m.clock == clock && !m.due) {
          earliest = std::min(earliest, m.start);
          any = true;
        }
      }
      ASSERT_EQ(store.has_waiting(clock), any);
      if (any) {
        ASSERT_EQ(store.earliest(clock), earliest);
      }
    }
    const std::uint64_t probe = rng() % (next_id + 2);
    ASSERT_EQ(store.contains(probe), find(probe) != model.end());
  }
  std::vector<PendingTask> cleared;
  store.clear(cleared);
  EXPECT_EQ(cleared.size(), model.size());
  EXPECT_TRUE(store.empty());
}

// --- Results, waiting, recurring tasks, steady starts, hooks ---------------

using Steady = std::chrono::steady_clock;

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
    messages += "|" + error_message([&] { pool.wait(self); });
    return messages;
  });
  EXPECT_EQ(inner.result.get(),
            "Cannot wait for the pool to be idle from one of its own tasks|"
            "Cannot wait for task " +
                std::to_string(inner.id) + " from inside that task");
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

// --- Faults found in review ------------------------------------------------

// Runs f on a thread of its own and returns whether it ended within `limit`.
// A call that hangs is left behind (detached), so that the test can fail.
bool finishes_within(std::function<void()> f, std::chrono::seconds limit) {
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
  };
  auto state = std::make_shared<State>();
  std::thread([state, f = std::move(f)] {
    f();
    std::lock_guard<std::mutex> lock(state->mutex);
    state->done = true;
    state->cv.notify_all();
  }).detach();
  std::unique_lock<std::mutex> lock(state->mutex);
  return state->cv.wait_for(lock, limit, [&] { return state->done; });
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

#if defined(VEXO_TEST_ALLOCATIONS_COUNTED)
TEST(ThreadPoolFaults, AReplacementWorkerThatCannotStartIsReportedAndRetried) {
  ThreadPool pool(1, 10);
  std::mutex mutex;
  std::vector<std::pair<ThreadPool::TaskId, std::string>> reported;
  pool.set_exception_handler([&](ThreadPool::TaskId id, std::string_view name, std::exception_ptr) {
    vexo::test::t_fail_allocations = false;  // on the ending thread, after the failed start
    std::lock_guard<std::mutex> lock(mutex);
    reported.emplace_back(id, std::string(name));
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
  // The next submission starts the missing worker.
  std::atomic<bool> ran{false};
  pool.add_task([&] { ran = true; }, "after");
  EXPECT_TRUE(eventually([&] { return ran.load(); }));
}
#endif

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
    while (!token.stop_requested()) std::this_thread::sleep_for(1ms);
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
        while (!token.stop_requested()) std::this_thread::sleep_for(1ms);
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
          while (!token.stop_requested()) std::this_thread::sleep_for(1ms);
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

// --- The scheduler against a plain model ---------------------------------------

// Drives the scheduler on this one thread, as three workers would, through
// random submissions (due, delayed and series; some taking a stop token),
// starts, ends, removals, stops and clears, and checks every query after
// every step. Tasks delayed by an hour and series with an hour's period
// never become due during the test, so the model needs no clock.
TEST(PoolScheduler, MatchesAPlainModelOverRandomOperations) {
  using vexo::util::detail::Run;
  using vexo::util::detail::Scheduler;
  using vexo::util::detail::StartClock;
  using TaskId = ThreadPool::TaskId;
  constexpr std::size_t kWorkers = 3, kCapacity = 6;
  struct Model {
    bool series = false;
    bool due = false;
    bool token = false;
    bool ended = false;  // a series ended during its run
  };
  Scheduler scheduler(kWorkers, kCapacity);
  std::map<TaskId, Model> pending;  // ordered by id: due order, for plain first runs
  std::map<TaskId, Model> running;
  std::array<std::optional<TaskId>, kWorkers> on_worker;
  std::vector<std::unique_ptr<Run>> runs;
  for (std::size_t w = 0; w < kWorkers; ++w) runs.push_back(std::make_unique<Run>(scheduler, w));
  std::map<TaskId, int> times_run;
  std::uint64_t submitted = 0, completed = 0, removed_count = 0;
  TaskId next_id = 0;
  std::mt19937_64 rng(20261209);
  auto running_series = [&] {
    return std::count_if(running.begin(), running.end(),
                         [](const auto& r) { return r.second.series; });
  };
  auto end_run = [&](std::size_t w) {
    const TaskId id = *on_worker[w];
    Model m = running.at(id);
    running.erase(id);
    on_worker[w].reset();
    ++completed;
    if (m.series && !m.ended) {
      m.due = false;  // the next run is an hour away
      pending[id] = m;
    }
  };
  for (int op = 0; op < 20000; ++op) {
    const auto r = rng() % 20;
    if (r < 6) {  // submit
      const bool series = rng() % 4 == 0;
      const bool due = series || rng() % 3 != 0;
      const bool token = rng() % 2 == 0;
      vexo::util::Task task;
      if (token) {
        task = [&times_run, id = next_id](std::stop_token) { ++times_run[id]; };
      } else {
        task = [&times_run, id = next_id] { ++times_run[id]; };
      }
      std::string name = tamu::cat("t", next_id);
      const Scheduler::SeriesSettings settings{1h, ThreadPool::Recurrence::fixed_rate};
      const auto start = due ? std::int64_t{0}
                             : (vexo::util::detail::steady_now() + 1h).time_since_epoch().count();
      const auto id =
          scheduler.add(task, name, series || !due ? StartClock::steady : StartClock::due, start,
                        Scheduler::WhenFull::give_up, {}, series ? &settings : nullptr);
      const bool fits = pending.size() + static_cast<std::size_t>(running_series()) < kCapacity;
      ASSERT_EQ(id.has_value(), fits) << "op " << op;
      EXPECT_EQ(static_cast<bool>(task), !fits);  // moved from only when accepted
      if (id) {
        ASSERT_EQ(*id, next_id);
        pending[next_id++] = Model{series, due, token, false};
        ++submitted;
      }
    } else if (r < 11) {  // a worker ends its run (if any) and takes the next
      const std::size_t w = rng() % kWorkers;
      if (on_worker[w]) runs[w]->execute([](void*, const Run&, const char*) {}, nullptr);
      vexo::util::Task spent;
      const bool took = scheduler.next(*runs[w], spent, false);
      if (on_worker[w]) end_run(w);
      // The due task of lowest id: due order here, since no series run was renewed.
      auto best =
          std::find_if(pending.begin(), pending.end(), [](const auto& p) { return p.second.due; });
      ASSERT_EQ(took, best != pending.end()) << "op " << op;
      if (took) {
        ASSERT_EQ(runs[w]->id(), best->first) << "op " << op;
        running[best->first] = best->second;
        on_worker[w] = best->first;
        pending.erase(best);
      }
    } else if (r < 13) {  // a worker ends its run without taking another
      const std::size_t w = rng() % kWorkers;
      if (!on_worker[w]) continue;
      runs[w]->execute([](void*, const Run&, const char*) {}, nullptr);
      scheduler.end(*runs[w]);
      end_run(w);
    } else if (r < 16) {  // remove or stop one
      const TaskId id = rng() % (next_id + 2);
      const bool stop = rng() % 2 == 0;
      vexo::util::Task removed;
      const bool result =
          stop ? scheduler.request_stop(id, removed) : scheduler.remove(id, removed);
      bool expected = false;
      if (pending.count(id) != 0) {
        expected = true;
        pending.erase(id);
        ++removed_count;
      } else if (running.count(id) != 0) {
        Model& m = running[id];
        if (m.series) {
          expected = stop || !m.ended;
          if (!m.ended) ++removed_count;
          m.ended = true;
        } else {
          expected = stop && m.token;
        }
      }
      ASSERT_EQ(result, expected) << (stop ? "stop " : "remove ") << id << " at op " << op;
    } else if (r == 16 && rng() % 8 == 0) {  // clear
      std::vector<vexo::util::Task> removed;
      std::size_t count = pending.size();
      for (auto& [id, m] : running) {
        if (m.series && !m.ended) {
          m.ended = true;
          ++count;
        }
      }
      ASSERT_EQ(scheduler.remove_all(removed), count);
      removed_count += count;
      pending.clear();
    }
    // Every query, after every step.
    ASSERT_TRUE(scheduler.valid()) << "op " << op;
    ASSERT_EQ(scheduler.num_pending(), pending.size());
    ASSERT_EQ(scheduler.is_empty(), pending.empty());
    ASSERT_EQ(scheduler.is_idle(), pending.empty() && running.empty());
    ASSERT_EQ(scheduler.is_full(),
              pending.size() + static_cast<std::size_t>(running_series()) >= kCapacity);
    const TaskId probe = rng() % (next_id + 2);
    ASSERT_EQ(scheduler.is_pending(probe), pending.count(probe) != 0);
    ASSERT_EQ(scheduler.is_running(probe), running.count(probe) != 0);
    ASSERT_EQ(scheduler.is_pending_or_running(probe),
              pending.count(probe) != 0 || running.count(probe) != 0);
    std::vector<TaskId> listed, expected_pending, running_ids, expected_running;
    scheduler.list_pending(SIZE_MAX, [&](TaskId id, const std::string& name) {
      EXPECT_EQ(name, tamu::cat("t", id));
      listed.push_back(id);
    });
    for (const auto& p : pending) expected_pending.push_back(p.first);
    ASSERT_EQ(listed, expected_pending);
    scheduler.list_running([&](TaskId id, const std::string&) { running_ids.push_back(id); });
    for (const auto& p : running) expected_running.push_back(p.first);
    ASSERT_EQ(running_ids, expected_running);
    const ThreadPool::Stats stats = scheduler.stats();
    ASSERT_EQ(stats.submitted, submitted);
    ASSERT_EQ(stats.completed, completed);
    ASSERT_EQ(stats.removed, removed_count);
  }
  for (const auto& [id, n] : times_run) EXPECT_EQ(n, 1) << id;  // no task ran twice
  // End the runs still going, so that the records' destructors find nothing to do.
  for (std::size_t w = 0; w < kWorkers; ++w) {
    if (on_worker[w]) scheduler.end(*runs[w]);
  }
}

}  // namespace
