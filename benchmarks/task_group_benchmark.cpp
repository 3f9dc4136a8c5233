// Batches and parallel loops beside oneTBB's task_group and parallel_for, in one binary. Run with
//   --benchmark_enable_random_interleaving=true --benchmark_repetitions=9
//   --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>
#include <tbb/blocked_range.h>
#include <tbb/global_control.h>
#include <tbb/parallel_for.h>
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>
#include <vector>

#include "vexo/util/task_group.hpp"

namespace {

using vexo::util::ThreadPool;

constexpr int kWorkers = 2;

// Sums into one slot per thread, each on its own cache line.
struct alignas(64) Slot {
  std::uint64_t sum = 0;
};
thread_local std::size_t t_slot = 0;
std::atomic<std::size_t> g_next_slot{0};
Slot g_slots[64];
Slot& my_slot() {
  thread_local bool has_slot = false;
  if (!has_slot) {
    t_slot = g_next_slot.fetch_add(1) % 64;
    has_slot = true;
  }
  return g_slots[t_slot];
}

// CPU work of about `us` microseconds, calibrated once against the clock
// (a loop, not a wall-clock spin, which would let a thread that is not
// running look busy).
std::uint64_t g_iterations_per_us = 0;
std::uint64_t burn(std::uint64_t us) {
  std::uint64_t x = 88172645463325252ull;
  const std::uint64_t n = us * g_iterations_per_us;
  for (std::uint64_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
  }
  benchmark::DoNotOptimize(x);
  return x;
}
void calibrate() {
  if (g_iterations_per_us != 0) return;
  g_iterations_per_us = 1000;
  const auto start = std::chrono::steady_clock::now();
  burn(20000);
  const auto ns =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start)
          .count();
  g_iterations_per_us = static_cast<std::uint64_t>(1000.0 * 20000 * 1000 / static_cast<double>(ns));
}

// --- parallel_for over 10,000,000 indexes, trivial body ----------------------

void BM_ForTrivial_Vexo(benchmark::State& state) {
  ThreadPool pool(kWorkers, 1024);
  for (auto _ : state) {
    vexo::util::parallel_for(pool, 0, 10000000, [](std::size_t i) { my_slot().sum += i; });
  }
}
BENCHMARK(BM_ForTrivial_Vexo)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ForTrivial_Tbb(benchmark::State& state) {
  tbb::task_arena arena(kWorkers);
  for (auto _ : state) {
    arena.execute([] {
      tbb::parallel_for(std::size_t{0}, std::size_t{10000000},
                        [](std::size_t i) { my_slot().sum += i; });
    });
  }
}
BENCHMARK(BM_ForTrivial_Tbb)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- parallel_for over 1,000 indexes of 100 us of CPU work: ideal 50 ms on 2 ---

void BM_ForHeavy_Vexo(benchmark::State& state) {
  calibrate();
  ThreadPool pool(kWorkers, 1024);
  for (auto _ : state) {
    vexo::util::parallel_for(pool, 0, 1000, [](std::size_t) { burn(100); });
  }
  state.counters["ideal_ms"] = 1000 * 100 / 1000.0 / kWorkers;
}
BENCHMARK(BM_ForHeavy_Vexo)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ForHeavy_Tbb(benchmark::State& state) {
  calibrate();
  tbb::task_arena arena(kWorkers);
  for (auto _ : state) {
    arena.execute([] { tbb::parallel_for(0, 1000, [](int) { burn(100); }); });
  }
}
BENCHMARK(BM_ForHeavy_Tbb)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- 100,000 empty tasks in a group, run then wait ----------------------------

void BM_Group_Vexo(benchmark::State& state) {
  ThreadPool pool(kWorkers, 1024);
  for (auto _ : state) {
    vexo::util::TaskGroup group(pool);
    for (int i = 0; i < 100000; ++i) group.run([] {});
    group.wait();
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_Group_Vexo)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Group_Tbb(benchmark::State& state) {
  tbb::task_arena arena(kWorkers);
  for (auto _ : state) {
    arena.execute([] {
      tbb::task_group group;
      for (int i = 0; i < 100000; ++i) group.run([] {});
      group.wait();
    });
  }
  state.SetItemsProcessed(state.iterations() * 100000);
}
BENCHMARK(BM_Group_Tbb)->UseRealTime()->Unit(benchmark::kMillisecond);

// --- Nested: 100 outer tasks, each a parallel_for of 1,000 x 1 us: ideal 50 ms ---

void BM_Nested_Vexo(benchmark::State& state) {
  calibrate();
  ThreadPool pool(kWorkers, 1024);
  for (auto _ : state) {
    vexo::util::TaskGroup outer(pool);
    for (int i = 0; i < 100; ++i) {
      outer.run([&pool] { vexo::util::parallel_for(pool, 0, 1000, [](std::size_t) { burn(1); }); });
    }
    outer.wait();
  }
  state.counters["ideal_ms"] = 100 * 1000 * 1 / 1000.0 / kWorkers;
}
BENCHMARK(BM_Nested_Vexo)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_Nested_Tbb(benchmark::State& state) {
  calibrate();
  tbb::task_arena arena(kWorkers);
  for (auto _ : state) {
    arena.execute([] {
      tbb::task_group outer;
      for (int i = 0; i < 100; ++i) {
        outer.run([] { tbb::parallel_for(0, 1000, [](int) { burn(1); }); });
      }
      outer.wait();
    });
  }
}
BENCHMARK(BM_Nested_Tbb)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
