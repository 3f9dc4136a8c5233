// The pool beside two baseline pools (Boost.Asio's thread_pool and oneTBB's
// task_arena), measured in one binary. Run with
//   --benchmark_enable_random_interleaving=true --benchmark_repetitions=9
//   --benchmark_report_aggregates_only=true
// so that the pools take turns on a noisy machine and medians are reported.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <sys/resource.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "vexo/util/ThreadPool.hpp"
#include "vexo/util/task_group.hpp"

namespace {

using vexo::util::ThreadPool;
using SteadyClock = std::chrono::steady_clock;

// Counts finished tasks; the submitter blocks until all have finished.
class Countdown {
 public:
  void reset(std::int64_t n) {
    left_.store(n);
    done_ = false;
  }
  void finish_one() {
    if (left_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
      cv_.notify_one();
    }
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return done_; });
  }

 private:
  std::atomic<std::int64_t> left_{0};
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
};

void spin_for(std::chrono::nanoseconds d) {
  const auto end = SteadyClock::now() + d;
  while (SteadyClock::now() < end) {
  }
}

// --- The three pools behind one interface --------------------------------

struct VexoPool {
  explicit VexoPool(int threads) : pool(static_cast<std::size_t>(threads), SIZE_MAX) {}
  template <typename F>
  void submit(F&& f) {
    pool.add_task(std::forward<F>(f));
  }
  ThreadPool pool;
};

struct AsioPool {
  explicit AsioPool(int threads) : pool(static_cast<std::size_t>(threads)) {}
  ~AsioPool() { pool.join(); }
  template <typename F>
  void submit(F&& f) {
    boost::asio::post(pool, std::forward<F>(f));
  }
  boost::asio::thread_pool pool;
};

struct TbbPool {
  explicit TbbPool(int threads) : arena(threads, /*reserved_for_masters=*/0) {}
  template <typename F>
  void submit(F&& f) {
    arena.enqueue(std::forward<F>(f));
  }
  tbb::task_arena arena;
};

// --- Throughput: empty tasks from one submitter ---------------------------

template <typename Pool>
void BM_Throughput(benchmark::State& state) {
  const auto tasks = state.range(1);
  Pool pool(static_cast<int>(state.range(0)));
  Countdown countdown;
  for (auto _ : state) {
    countdown.reset(tasks);
    for (std::int64_t i = 0; i < tasks; ++i) pool.submit([&countdown] { countdown.finish_one(); });
    countdown.wait();
  }
  state.SetItemsProcessed(state.iterations() * tasks);
}
BENCHMARK(BM_Throughput<VexoPool>)
    ->Args({2, 200000})
    ->Args({4, 200000})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Throughput<AsioPool>)
    ->Args({2, 200000})
    ->Args({4, 200000})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Throughput<TbbPool>)
    ->Args({2, 200000})
    ->Args({4, 200000})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// --- Throughput: empty tasks from two submitters, 100,000 each ------------

template <typename Pool>
void BM_TwoSubmitters(benchmark::State& state) {
  constexpr std::int64_t kPerSubmitter = 100000;
  Pool pool(2);
  Countdown countdown;
  for (auto _ : state) {
    countdown.reset(2 * kPerSubmitter);
    std::thread other([&] {
      for (std::int64_t i = 0; i < kPerSubmitter; ++i) {
        pool.submit([&countdown] { countdown.finish_one(); });
      }
    });
    for (std::int64_t i = 0; i < kPerSubmitter; ++i) {
      pool.submit([&countdown] { countdown.finish_one(); });
    }
    other.join();
    countdown.wait();
  }
  state.SetItemsProcessed(state.iterations() * 2 * kPerSubmitter);
}
BENCHMARK(BM_TwoSubmitters<VexoPool>)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoSubmitters<AsioPool>)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_TwoSubmitters<TbbPool>)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- Wake latency: one task submitted to an idle pool ---------------------

template <typename Pool>
void BM_WakeLatency(benchmark::State& state) {
  Pool pool(2);
  for (auto _ : state) {
    // Let the workers go to sleep first.
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::atomic<std::int64_t> started{0};
    const auto submitted = SteadyClock::now();
    pool.submit([&started] { started.store(SteadyClock::now().time_since_epoch().count()); });
    while (started.load() == 0) {
    }
    const auto latency = SteadyClock::time_point(SteadyClock::duration(started.load())) - submitted;
    state.SetIterationTime(std::chrono::duration<double>(latency).count());
  }
}
BENCHMARK(BM_WakeLatency<VexoPool>)
    ->UseManualTime()
    ->Iterations(300)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WakeLatency<AsioPool>)
    ->UseManualTime()
    ->Iterations(300)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WakeLatency<TbbPool>)->UseManualTime()->Iterations(300)->Unit(benchmark::kMicrosecond);

// --- Short tasks: 100,000 tasks of 2 us on 2 workers -----------------------
// The ideal wall time is 100 ms: compare the median with that.

template <typename Pool>
void BM_ShortTasks(benchmark::State& state) {
  constexpr std::int64_t kTasks = 100000;
  Pool pool(2);
  Countdown countdown;
  for (auto _ : state) {
    countdown.reset(kTasks);
    for (std::int64_t i = 0; i < kTasks; ++i) {
      pool.submit([&countdown] {
        spin_for(std::chrono::microseconds(2));
        countdown.finish_one();
      });
    }
    countdown.wait();
  }
}
BENCHMARK(BM_ShortTasks<VexoPool>)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShortTasks<AsioPool>)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ShortTasks<TbbPool>)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- Tasks that submit children: 1,000 tasks each submit 100 ---------------

template <typename Pool>
void BM_Children(benchmark::State& state) {
  constexpr std::int64_t kParents = 1000, kChildren = 100;
  Pool pool(2);
  Countdown countdown;
  for (auto _ : state) {
    countdown.reset(kParents * kChildren);
    for (std::int64_t i = 0; i < kParents; ++i) {
      pool.submit([&pool, &countdown] {
        for (std::int64_t c = 0; c < kChildren; ++c) {
          pool.submit([&countdown] { countdown.finish_one(); });
        }
      });
    }
    countdown.wait();
  }
  state.SetItemsProcessed(state.iterations() * kParents * kChildren);
}
BENCHMARK(BM_Children<VexoPool>)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Children<AsioPool>)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Children<TbbPool>)->UseRealTime()->Unit(benchmark::kMillisecond);

// The same fan-out with the children (and the parents) as members of one
// batch: TaskGroup::run beside oneTBB's task_group, both on 2 workers.
void BM_ChildrenGroup_Vexo(benchmark::State& state) {
  constexpr std::int64_t kParents = 1000, kChildren = 100;
  ThreadPool pool(2, SIZE_MAX);
  std::atomic<std::int64_t> ran{0};
  for (auto _ : state) {
    vexo::util::TaskGroup group(pool);
    for (std::int64_t i = 0; i < kParents; ++i) {
      group.run([&group, &ran] {
        for (std::int64_t c = 0; c < kChildren; ++c) {
          group.run([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
        }
      });
    }
    group.wait();
  }
  benchmark::DoNotOptimize(ran.load());
  state.SetItemsProcessed(state.iterations() * kParents * kChildren);
}
BENCHMARK(BM_ChildrenGroup_Vexo)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ChildrenGroup_Tbb(benchmark::State& state) {
  constexpr std::int64_t kParents = 1000, kChildren = 100;
  tbb::task_arena arena(2, 0);
  std::atomic<std::int64_t> ran{0};
  for (auto _ : state) {
    arena.execute([&ran] {
      tbb::task_group group;
      for (std::int64_t i = 0; i < kParents; ++i) {
        group.run([&group, &ran] {
          for (std::int64_t c = 0; c < kChildren; ++c) {
            group.run([&ran] { ran.fetch_add(1, std::memory_order_relaxed); });
          }
        });
      }
      group.wait();
    });
  }
  benchmark::DoNotOptimize(ran.load());
  state.SetItemsProcessed(state.iterations() * kParents * kChildren);
}
BENCHMARK(BM_ChildrenGroup_Tbb)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- Backlog: 200,000 due tasks while N tasks due in one hour wait ----------

void BM_Backlog(benchmark::State& state) {
  constexpr std::int64_t kTasks = 200000;
  const auto backlog = state.range(0);
  ThreadPool pool(2, SIZE_MAX);
  const auto later = std::chrono::system_clock::now() + std::chrono::hours(1);
  for (std::int64_t i = 0; i < backlog; ++i) pool.add_task([] {}, later);
  Countdown countdown;
  for (auto _ : state) {
    countdown.reset(kTasks);
    for (std::int64_t i = 0; i < kTasks; ++i)
      pool.add_task([&countdown] { countdown.finish_one(); });
    countdown.wait();
  }
  state.SetItemsProcessed(state.iterations() * kTasks);
  pool.remove_pending_tasks();
}
BENCHMARK(BM_Backlog)
    ->Arg(0)
    ->Arg(10000)
    ->Arg(100000)
    ->Arg(1000000)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// --- remove_pending_task and is_pending on random ids -----------------------

void BM_RemoveRandom(benchmark::State& state) {
  constexpr std::size_t kBatch = 500;
  const auto pending = state.range(0);
  ThreadPool pool(2, SIZE_MAX);
  const auto later = std::chrono::system_clock::now() + std::chrono::hours(1);
  std::vector<ThreadPool::TaskId> ids;
  for (std::int64_t i = 0; i < pending; ++i) ids.push_back(pool.add_task([] {}, later));
  std::mt19937_64 rng(1);
  std::vector<std::size_t> picked(kBatch);
  for (auto _ : state) {
    // Remove a batch of random tasks (timed), then put as many back, so the
    // backlog stays the same.
    state.PauseTiming();
    for (auto& p : picked) p = rng() % ids.size();
    std::sort(picked.begin(), picked.end());
    picked.erase(std::unique(picked.begin(), picked.end()), picked.end());
    state.ResumeTiming();
    for (std::size_t p : picked) benchmark::DoNotOptimize(pool.remove_pending_task(ids[p]));
    state.PauseTiming();
    for (std::size_t p : picked) ids[p] = pool.add_task([] {}, later);
    picked.resize(kBatch);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kBatch));
  pool.remove_pending_tasks();
}
BENCHMARK(BM_RemoveRandom)->Arg(1000)->Arg(100000)->Arg(1000000);

void BM_IsPendingRandom(benchmark::State& state) {
  const auto pending = state.range(0);
  ThreadPool pool(2, SIZE_MAX);
  const auto later = std::chrono::system_clock::now() + std::chrono::hours(1);
  for (std::int64_t i = 0; i < pending; ++i) pool.add_task([] {}, later);
  std::mt19937_64 rng(1);
  const auto range = static_cast<std::uint64_t>(pending);
  for (auto _ : state) benchmark::DoNotOptimize(pool.is_pending(rng() % range));
  pool.remove_pending_tasks();
}
BENCHMARK(BM_IsPendingRandom)->Arg(1000)->Arg(100000)->Arg(1000000);

// --- Scaling: submitting a delayed task with many delayed tasks pending ----

void BM_SubmitDelayed(benchmark::State& state) {
  const auto pending = state.range(0);
  ThreadPool pool(2, SIZE_MAX);
  const auto later = std::chrono::system_clock::now() + std::chrono::hours(1);
  for (std::int64_t i = 0; i < pending; ++i) pool.add_task([] {}, later);
  for (auto _ : state) pool.add_task([] {}, later);
  state.SetItemsProcessed(state.iterations());
  pool.remove_pending_tasks();
}
BENCHMARK(BM_SubmitDelayed)->Arg(0)->Arg(1000000)->Iterations(200000);

// --- Futures: 200,000 empty tasks, then get() on each ---------------------

void BM_SubmitFutures(benchmark::State& state) {
  constexpr std::size_t kTasks = 200000;
  ThreadPool pool(2, SIZE_MAX);
  std::vector<std::future<void>> futures;
  futures.reserve(kTasks);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kTasks; ++i) futures.push_back(pool.submit([] {}).result);
    for (auto& f : futures) f.get();
    futures.clear();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kTasks));
}
BENCHMARK(BM_SubmitFutures)->UseRealTime()->Unit(benchmark::kMillisecond);

// The same tasks with add_task, waited for with wait_idle().
void BM_AddTaskWaitIdle(benchmark::State& state) {
  constexpr std::size_t kTasks = 200000;
  ThreadPool pool(2, SIZE_MAX);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kTasks; ++i) pool.add_task([] {});
    pool.wait_idle();
  }
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kTasks));
}
BENCHMARK(BM_AddTaskWaitIdle)->UseRealTime()->Unit(benchmark::kMillisecond);

// A std::packaged_task posted to Boost.Asio's thread_pool for each.
void BM_AsioPackagedTask(benchmark::State& state) {
  constexpr std::size_t kTasks = 200000;
  boost::asio::thread_pool pool(2);
  std::vector<std::future<void>> futures;
  futures.reserve(kTasks);
  for (auto _ : state) {
    for (std::size_t i = 0; i < kTasks; ++i) {
      std::packaged_task<void()> task([] {});
      futures.push_back(task.get_future());
      boost::asio::post(pool, std::move(task));
    }
    for (auto& f : futures) f.get();
    futures.clear();
  }
  pool.join();
  state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kTasks));
}
BENCHMARK(BM_AsioPackagedTask)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- wait_idle: from the end of the last of 200,000 tasks to its return -----

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(p * static_cast<double>(v.size() - 1))];
}

void BM_WaitIdleLatency(benchmark::State& state) {
  constexpr std::size_t kTasks = 200000;
  ThreadPool pool(2, SIZE_MAX);
  std::atomic<std::int64_t> last_end{0};
  std::vector<double> latencies;
  for (auto _ : state) {
    for (std::size_t i = 0; i < kTasks; ++i) {
      pool.add_task([&last_end] {
        last_end.store(SteadyClock::now().time_since_epoch().count(), std::memory_order_relaxed);
      });
    }
    pool.wait_idle();
    const auto returned = SteadyClock::now().time_since_epoch().count();
    latencies.push_back(static_cast<double>(returned - last_end.load()) / 1000.0);
  }
  state.counters["p50_us"] = percentile(latencies, 0.5);
  state.counters["p90_us"] = percentile(latencies, 0.9);
}
BENCHMARK(BM_WaitIdleLatency)->Iterations(40)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- A task every 10 ms for 10 s on an idle pool: start jitter -------------

void BM_RecurringJitter(benchmark::State& state) {
  constexpr auto kPeriod = std::chrono::milliseconds(10);
  constexpr int kRuns = 1000;
  for (auto _ : state) {
    ThreadPool pool(2, 16);
    std::vector<SteadyClock::time_point> starts;
    starts.reserve(kRuns + 8);
    std::mutex m;
    std::condition_variable cv;
    const auto first = SteadyClock::now() + kPeriod;
    const auto id = pool.add_recurring(
        [&] {
          std::lock_guard<std::mutex> lock(m);
          starts.push_back(SteadyClock::now());
          if (starts.size() == kRuns) cv.notify_one();
        },
        kPeriod, kPeriod);
    {
      std::unique_lock<std::mutex> lock(m);
      cv.wait(lock, [&] { return starts.size() >= kRuns; });
    }
    pool.remove_pending_task(id);
    pool.wait(id);
    std::vector<double> jitter;
    for (int i = 0; i < kRuns; ++i) {
      const auto planned = first + i * kPeriod;
      jitter.push_back(
          std::chrono::duration<double, std::micro>(starts[static_cast<std::size_t>(i)] - planned)
              .count());
    }
    state.counters["p50_us"] = percentile(jitter, 0.5);
    state.counters["p99_us"] = percentile(jitter, 0.99);
    state.counters["max_us"] = percentile(jitter, 1.0);
  }
}
BENCHMARK(BM_RecurringJitter)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- 10,000 series with periods of 1 to 10 s: CPU time per run -------------

double cpu_seconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_ManySeriesCpu(benchmark::State& state) {
  constexpr int kSeries = 10000;
  for (auto _ : state) {
    ThreadPool pool(2, kSeries);
    std::atomic<std::int64_t> runs{0};
    for (int i = 0; i < kSeries; ++i) {
      const auto period = std::chrono::milliseconds(1000 + (i * 9000) / kSeries);
      pool.add_recurring([&runs] { runs.fetch_add(1, std::memory_order_relaxed); }, period, period);
    }
    const double cpu0 = cpu_seconds();
    const std::int64_t runs0 = runs.load();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const double cpu = cpu_seconds() - cpu0;
    const auto n = runs.load() - runs0;
    state.counters["runs"] = static_cast<double>(n);
    state.counters["cpu_ms"] = cpu * 1e3;
    state.counters["cpu_us_per_run"] =
        cpu * 1e6 / static_cast<double>(std::max<std::int64_t>(n, 1));
    pool.remove_pending_tasks();
  }
}
BENCHMARK(BM_ManySeriesCpu)->Iterations(1)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- Memory per pending task, beyond the callable's own captures ----------

void BM_BytesPerPendingTask(benchmark::State& state) {
  // Arg 0: tasks due in an hour (start heap and id table); 1: due tasks
  // behind a busy worker (the due FIFO). Each lambda captures one pointer.
  constexpr std::int64_t kTasks = 1000000;
  const bool due = state.range(0) == 1;
  for (auto _ : state) {
    auto pool = std::make_unique<ThreadPool>(1, kTasks + 1);
    std::mutex m;
    std::unique_lock<std::mutex> hold(m);
    std::atomic<bool> blocked{false};
    pool->add_task([&] {
      blocked = true;
      std::lock_guard<std::mutex> wait(m);
    });
    while (!blocked) std::this_thread::yield();
    const auto later = std::chrono::system_clock::now() + std::chrono::hours(1);
    std::int64_t sink = 0;
    const auto before = mallinfo2().uordblks;
    for (std::int64_t i = 0; i < kTasks; ++i) {
      if (due) {
        pool->add_task([p = &sink] { ++*p; });
      } else {
        pool->add_task([p = &sink] { ++*p; }, later);
      }
    }
    const auto after = mallinfo2().uordblks;
    state.counters["bytes_per_task"] =
        static_cast<double>(after - before) / static_cast<double>(kTasks);
    pool->remove_pending_tasks();
    hold.unlock();
  }
}
BENCHMARK(BM_BytesPerPendingTask)->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
