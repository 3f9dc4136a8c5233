// Instructions per empty task, for callgrind: submits N empty tasks to a pool of one worker and
// waits for them, in this library's pool or in a baseline. Run it for two counts and take the
// difference, so that starting and stopping the pool cancel out:
//   valgrind --tool=callgrind --fair-sched=yes --callgrind-out-file=/dev/null pool_instructions
//     vexo 100000   (one command line), and the same with 50000
// (instructions per task = (I(100000) - I(50000)) / 50000; the same with "asio" and "tbb").
// How often the worker spins or sleeps depends on how valgrind interleaves the two threads:
// --fair-sched=yes keeps the spread between runs to a few percent (without it, up to 1.4x);
// take the median of three.
#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "vexo/util/ThreadPool.hpp"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s vexo|vexo-named|asio|tbb COUNT\n", argv[0]);
    return 2;
  }
  const long count = std::atol(argv[2]);
  std::atomic<long> done{0};
  if (std::strcmp(argv[1], "vexo") == 0 || std::strcmp(argv[1], "vexo-named") == 0) {
    const bool named = std::strcmp(argv[1], "vexo-named") == 0;
    vexo::util::ThreadPool pool(1, SIZE_MAX);
    for (long i = 0; i < count; ++i) {
      if (named) {
        pool.add_task([] {}, "a short name");
      } else {
        pool.add_task([] {});
      }
    }
    pool.wait_idle();
  } else if (std::strcmp(argv[1], "asio") == 0) {
    boost::asio::thread_pool pool(1);
    for (long i = 0; i < count; ++i) boost::asio::post(pool, [] {});
    pool.join();
  } else if (std::strcmp(argv[1], "tbb") == 0) {
    tbb::task_arena arena(1, 0);
    for (long i = 0; i < count; ++i) {
      arena.enqueue([&done] { done.fetch_add(1, std::memory_order_relaxed); });
    }
    while (done.load() != count) std::this_thread::yield();
  } else {
    return 2;
  }
  return 0;
}
