// Shows the thread pool at work: tasks due at once and tasks with start
// times, a task that throws, inspection while tasks run, removal of a task
// that has not started, a result through a future, a recurring task, a task
// asked to stop, a task that waits for its own child, and a parallel loop.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>
#include <vector>

#include "vexo/util/ThreadPool.hpp"
#include "vexo/util/task_group.hpp"

int main() {
  using namespace std::chrono_literals;
  using vexo::util::ThreadPool;

  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // keep lines in order with stderr's
  ThreadPool pool(/*num_threads=*/3, /*capacity=*/64);
  std::atomic<int> done{0};
  const auto t0 = std::chrono::steady_clock::now();
  auto ms_since_start = [t0] {
    return static_cast<long long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count());
  };

  for (int i = 0; i < 6; ++i) {
    pool.add_task(
        [&, i] {
          std::this_thread::sleep_for(50ms);
          std::printf("[%4lld ms] job %d done\n", ms_since_start(), i);
          ++done;
        },
        "job " + std::to_string(i));
  }
  pool.add_task(
      [&] {
        std::printf("[%4lld ms] delayed task ran\n", ms_since_start());
        ++done;
      },
      ThreadPool::Duration(200ms), "delayed");
  const auto never = pool.add_task([] { std::puts("this never runs"); }, ThreadPool::Duration(1h),
                                   "removed before it starts");
  pool.add_task(
      [&] {
        ++done;
        throw std::runtime_error("a task may throw; the pool reports it");
      },
      "thrower");

  std::this_thread::sleep_for(20ms);
  std::printf("pending: %zu, running:", pool.num_pending());
  for (const auto& name : pool.get_running_task_names()) std::printf(" \"%s\"", name.c_str());
  std::printf("\nremove task %llu: %s\n", static_cast<unsigned long long>(never),
              pool.remove_pending_task(never) ? "removed" : "not pending");

  // A result through a future: the task's return value (or its exception).
  auto sum = pool.submit(
      [] {
        long total = 0;
        for (int i = 1; i <= 1000; ++i) total += i;
        return total;
      },
      "sum");
  std::printf("[%4lld ms] task %llu returned %ld\n", ms_since_start(),
              static_cast<unsigned long long>(sum.id), sum.result.get());

  // A recurring task: every 40 ms on the steady clock, one id for the series.
  std::atomic<int> ticks{0};
  const auto ticker =
      pool.add_recurring([&] { std::printf("[%4lld ms] tick %d\n", ms_since_start(), ++ticks); },
                         ThreadPool::Duration(0), ThreadPool::Duration(40ms), "ticker");
  while (ticks.load() < 4) std::this_thread::sleep_for(5ms);
  pool.remove_pending_task(ticker);  // ends the series (a run in progress finishes)
  pool.wait(ticker);

  // Cooperative stop: the task polls its token; request_stop() signals it.
  auto scan = pool.submit(
      [](std::stop_token stop) {
        long rounds = 0;
        while (!stop.stop_requested()) {
          std::this_thread::sleep_for(1ms);
          ++rounds;
        }
        return rounds;
      },
      "scan");
  std::this_thread::sleep_for(30ms);
  pool.request_stop(scan.id);
  std::printf("[%4lld ms] scan stopped after %ld rounds\n", ms_since_start(), scan.result.get());

  // A task that waits for a task it queued runs it itself when it is due, so
  // this never deadlocks, whatever the other workers do.
  auto parent = pool.submit(
      [&pool] {
        auto child = pool.submit([] { return 6 * 7; }, "child");
        pool.wait(child.id);
        return child.result.get();
      },
      "parent");
  std::printf("[%4lld ms] the parent's child returned %d\n", ms_since_start(), parent.result.get());

  // A parallel loop: this thread and the pool's workers share the indexes.
  std::vector<long> squares(1000);
  vexo::util::parallel_for(pool, 0, squares.size(),
                           [&](std::size_t i) { squares[i] = static_cast<long>(i * i); });
  std::printf("[%4lld ms] squares[999] = %ld\n", ms_since_start(), squares[999]);

  pool.wait_idle();
  const auto stats = pool.stats();
  std::printf("all %d tasks finished; pool idle: %s; %llu submitted, %llu runs, %llu failed\n",
              done.load(), pool.is_idle() ? "yes" : "no",
              static_cast<unsigned long long>(stats.submitted),
              static_cast<unsigned long long>(stats.completed),
              static_cast<unsigned long long>(stats.failed));
  return 0;
}
