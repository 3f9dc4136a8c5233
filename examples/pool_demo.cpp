// Shows the thread pool at work: tasks due at once and tasks with start
// times, a task that throws, inspection while tasks run, and removal of a
// task that has not started.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <thread>

#include "vexo/util/ThreadPool.hpp"

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

  while (done.load() < 8) std::this_thread::sleep_for(5ms);
  while (!pool.is_idle()) std::this_thread::sleep_for(5ms);
  std::printf("all %d tasks finished; pool idle: %s\n", done.load(), pool.is_idle() ? "yes" : "no");
  return 0;
}
