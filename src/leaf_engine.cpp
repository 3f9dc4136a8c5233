// The leaves of KT and ParallelHash: four at a time on the four-state
// permutation, and runs of them on a pool's workers and the calling thread.
// All the pool use of the tree hashes is in run_ranges() below.
#include "leaf_engine.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cassert>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "keccak_impl.hpp"
#include "vexo/util/ThreadPool.hpp"

namespace vexo::detail {

namespace {

// Leaves hashed together on the four interleaved states.
constexpr std::size_t kGroupLeaves = 4;
// Inputs shorter than this are not worth waking the pool for.
constexpr std::size_t kPoolMinBytes = 64 * 1024;
// A helper takes work in steps of at least this many bytes of input, so that
// small leaves do not make the shared counter the bottleneck.
constexpr std::size_t kStepBytes = 32 * 1024;
// With a pool, leaves go out in batches of at least this much input, with
// chaining values of at most kMaxBatchCvBytes, so that the buffer stays
// bounded (8 MiB and 1024 leaves of KT128: 32 KiB).
constexpr std::size_t kBatchBytes = 8 * 1024 * 1024;
constexpr std::size_t kMinBatchLeaves = 1024;
constexpr std::size_t kMaxBatchCvBytes = 1024 * 1024;
// At most this many tasks help one call.
constexpr std::size_t kMaxHelpers = 64;
// The largest block of the shapes in use (TurboSHAKE128, SHAKE128).
constexpr std::size_t kMaxBlock = 168;
constexpr std::size_t kMaxCvSize = 64;

// ----------------------------------------------------------------------------
// Leaves
// ----------------------------------------------------------------------------

void init_sponge(const LeafShape& shape, keccak::SpongeInstance* sponge) {
  [[maybe_unused]] const int status =
      keccak::SpongeInitialize_Nrounds(sponge, shape.rate, 1600 - shape.rate, shape.rounds);
  assert(status == 0);
}

// Writes the chaining values of four whole leaves that follow each other at
// `leaves` to cvs[0 .. 4 * cv_size), on the interleaved states. The leaf
// size is a multiple of 8, so that each leaf starts on a lane boundary.
void leaf_cvs4(const LeafShape& shape, const unsigned char* leaves, unsigned char* cvs) {
  using namespace keccak;
  alignas(states4_alignment) unsigned char states[states4_size];
  KeccakP1600times4_InitializeAll(states);
  const unsigned int block = shape.rate / 8;
  const unsigned int lanes = block / 8;
  const auto leaf_lanes = static_cast<unsigned int>(shape.leaf_size / 8);
  const std::size_t absorbed = shape.rounds == 12
                                   ? KeccakP1600times4_12rounds_FastLoop_Absorb(
                                         states, lanes, leaf_lanes, leaves, shape.leaf_size)
                                   : impl::KeccakP1600times4_24rounds_FastLoop_Absorb(
                                         states, lanes, leaf_lanes, leaves, shape.leaf_size);
  // The last, partial block of each leaf with its padding: the suffix after
  // the data, 0x80 in the last byte of the block. The data ends on a lane
  // boundary strictly inside the block, so the two never share a byte.
  const std::size_t rest = shape.leaf_size - absorbed;
  assert(rest % 8 == 0 && rest + 1 < block && (shape.suffix & 0x80) == 0);
  alignas(8) unsigned char last[kGroupLeaves * kMaxBlock] = {};
  for (std::size_t j = 0; j < kGroupLeaves; ++j) {
    unsigned char* out = last + j * block;
    std::memcpy(out, leaves + j * shape.leaf_size + absorbed, rest);
    out[rest] ^= shape.suffix;
    out[block - 1] ^= 0x80;
  }
  KeccakP1600times4_AddLanesAll(states, last, lanes, lanes);
  if (shape.rounds == 12) {
    KeccakP1600times4_PermuteAll_12rounds(states);
  } else {
    KeccakP1600times4_PermuteAll_24rounds(states);
  }
  const auto cv_lanes = static_cast<unsigned int>(shape.cv_size / 8);
  KeccakP1600times4_ExtractLanesAll(states, cvs, cv_lanes, cv_lanes);
}

// Writes the chaining values of `count` whole leaves to `cvs`: four at a
// time on the interleaved states where the leaf size allows, the rest one by
// one.
void leaf_cvs(const LeafShape& shape, const unsigned char* leaves, std::size_t count,
              unsigned char* cvs) {
  std::size_t i = 0;
  if (shape.leaf_size % 8 == 0) {
    for (; i + kGroupLeaves <= count; i += kGroupLeaves) {
      leaf_cvs4(shape, leaves + i * shape.leaf_size, cvs + i * shape.cv_size);
    }
  }
  for (; i < count; ++i) {
    leaf_cv(shape, leaves + i * shape.leaf_size, shape.leaf_size, cvs + i * shape.cv_size);
  }
}

// ----------------------------------------------------------------------------
// The pool
// ----------------------------------------------------------------------------

// The ranges of one run_ranges() call, shared by the calling thread and the
// tasks that help it: each takes the next `grain` indices from one counter
// until none is left.
template <class F>
class RangeJob {
 public:
  RangeJob(std::size_t count, std::size_t grain, F& body)
      : count_(count), grain_(grain), body_(body) {}

  // Runs body(begin, end) on ranges until the counter runs out.
  void work() {
    for (;;) {
      const std::size_t begin = next_.fetch_add(grain_, std::memory_order_relaxed);
      if (begin >= count_) return;
      body_(begin, std::min(count_, begin + grain_));
    }
  }

  // A Helper exists; helper_done() follows when it dies.
  void helper_expected() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++helpers_;
  }

  // Returns when every Helper is dead; what they wrote is then
  // visible to the caller.
  void wait_for_helpers() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [this] { return helpers_ == 0; });
  }

  // What a helper task's callable holds, through a shared_ptr: the helper
  // counts as done when the last copy of its callable is destroyed, whether
  // it ran, was removed by the caller or by anyone else, or was never queued.
  class Helper {
   public:
    explicit Helper(RangeJob& job) : job_(job) { job_.helper_expected(); }
    Helper(const Helper&) = delete;
    Helper& operator=(const Helper&) = delete;
    ~Helper() { job_.helper_done(); }

    void run() { job_.work(); }

   private:
    RangeJob& job_;
  };

 private:
  void helper_done() noexcept {
    // Notified under the lock: once the waiter sees zero it may destroy the
    // job, which it can only do after this thread has let go of the mutex.
    std::lock_guard<std::mutex> lock(mutex_);
    if (--helpers_ == 0) done_.notify_all();
  }

  const std::size_t count_;
  const std::size_t grain_;
  F& body_;
  /// The first index of the next range; may run past count_.
  std::atomic<std::size_t> next_{0};
  /// Guards helpers_.
  std::mutex mutex_;
  std::condition_variable done_;
  /// Helpers submitted whose callable is still alive.
  std::size_t helpers_ = 0;
};

// Runs body(begin, end) over ranges of at most `grain` indices that together
// cover [0, count) once each, on the calling thread and, with a pool, on
// helper tasks of the pool. Returns when every range is done. Helpers that
// have not started when the calling thread runs out of ranges are removed,
// so the wait is only for helpers that are running, and they finish their
// range and stop.
//
// This is the one place where the tree hashes use a pool.
template <class F>
void run_ranges(util::ThreadPool* pool, std::size_t count, std::size_t grain, F&& body) {
  grain = std::max<std::size_t>(grain, 1);
  const std::size_t ranges = (count + grain - 1) / grain;
  if (pool == nullptr || ranges < 2) {
    if (count > 0) body(std::size_t{0}, count);
    return;
  }
  using Job = RangeJob<std::remove_reference_t<F>>;
  Job job(count, grain, body);
  // The calling thread works too, so more helpers than the other cores only
  // make the threads take turns.
  const std::size_t other_cores = std::max(1u, std::thread::hardware_concurrency()) - 1;
  const std::size_t helpers = std::min({pool->num_threads(), other_cores, ranges - 1, kMaxHelpers});
  std::array<util::ThreadPool::TaskId, kMaxHelpers> ids;
  std::size_t submitted = 0;
  for (; submitted < helpers; ++submitted) {
    try {
      // The local copy dies at the end of this block, so that the task's
      // callable holds the last one.
      const auto helper = std::make_shared<typename Job::Helper>(job);
      ids[submitted] = pool->add_task([helper] { helper->run(); }, "tree leaves");
    } catch (...) {
      // A full queue (or no memory for the task): this thread does the rest.
      break;
    }
  }
  job.work();
  for (std::size_t i = 0; i < submitted; ++i) pool->remove_pending_task(ids[i]);
  job.wait_for_helpers();
}

}  // namespace

void leaf_cv(const LeafShape& shape, const unsigned char* leaf, std::size_t size,
             unsigned char* cv) {
  keccak::SpongeInstance sponge;
  init_sponge(shape, &sponge);
  keccak::SpongeAbsorb(&sponge, leaf, size);
  keccak::SpongeAbsorbLastFewBits(&sponge, shape.suffix);
  keccak::SpongeSqueeze(&sponge, cv, shape.cv_size);
}

void absorb_leaves(const LeafShape& shape, const unsigned char* leaves, std::size_t count,
                   keccak::SpongeInstance* node, util::ThreadPool* pool) {
  if (pool != nullptr && count >= 2 * kGroupLeaves && count * shape.leaf_size >= kPoolMinBytes) {
    const std::size_t batch =
        std::min(count, std::clamp(kBatchBytes / shape.leaf_size, kMinBatchLeaves,
                                   kMaxBatchCvBytes / shape.cv_size));
    std::unique_ptr<unsigned char[]> cvs(new (std::nothrow) unsigned char[batch * shape.cv_size]);
    if (cvs) {
      // Whole groups of four per step, and at least kStepBytes of input.
      const std::size_t step_groups =
          std::max<std::size_t>(1, kStepBytes / (kGroupLeaves * shape.leaf_size));
      const std::size_t grain = step_groups * kGroupLeaves;
      for (std::size_t first = 0; first < count; first += batch) {
        const std::size_t n = std::min(batch, count - first);
        const unsigned char* run = leaves + first * shape.leaf_size;
        run_ranges(pool, n, grain, [&](std::size_t begin, std::size_t end) {
          leaf_cvs(shape, run + begin * shape.leaf_size, end - begin,
                   cvs.get() + begin * shape.cv_size);
        });
        keccak::SpongeAbsorb(node, cvs.get(), n * shape.cv_size);
      }
      return;
    }
  }
  alignas(8) unsigned char cvs[kGroupLeaves * kMaxCvSize];
  for (std::size_t first = 0; first < count; first += kGroupLeaves) {
    const std::size_t n = std::min(kGroupLeaves, count - first);
    leaf_cvs(shape, leaves + first * shape.leaf_size, n, cvs);
    keccak::SpongeAbsorb(node, cvs, n * shape.cv_size);
  }
}

}  // namespace vexo::detail
