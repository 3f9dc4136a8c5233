// The leaves of KT and ParallelHash: four at a time on the four-state
// permutation, and runs of them on a pool's workers and the calling thread.
// The pool does its part through parallel_for().
#include "leaf_engine.hpp"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>
#include <memory>
#include <new>

#include "keccak_impl.hpp"
#include "sponge.hpp"
#include "vexo/util/ThreadPool.hpp"
#include "vexo/util/task_group.hpp"

namespace vexo::detail {

namespace {

// Leaves hashed together on the four interleaved states.
constexpr std::size_t kGroupLeaves = 4;
// Inputs shorter than this are not worth waking the pool for.
constexpr std::size_t kPoolMinBytes = std::size_t{64} * 1024;
// A helper takes work in steps of at least this many bytes of input, so that
// small leaves do not make the shared counter the bottleneck.
constexpr std::size_t kStepBytes = std::size_t{32} * 1024;
// With a pool, leaves go out in batches of at least this much input, with
// chaining values of at most kMaxBatchCvBytes, so that the buffer stays
// bounded (8 MiB and 1024 leaves of KT128: 32 KiB).
constexpr std::size_t kBatchBytes = std::size_t{8} * 1024 * 1024;
constexpr std::size_t kMinBatchLeaves = 1024;
constexpr std::size_t kMaxBatchCvBytes = std::size_t{1024} * 1024;
// The largest block of the shapes in use (TurboSHAKE128, SHAKE128).
constexpr std::size_t kMaxBlock = 168;
constexpr std::size_t kMaxCvSize = 64;

// ----------------------------------------------------------------------------
// Leaves
// ----------------------------------------------------------------------------

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
  const impl::KeccakP1600_Forms& forms = impl::KeccakP1600_GetForms();
  const unsigned int first_round = 24 - shape.rounds;
  const std::size_t absorbed =
      forms.fastLoopAll(states, lanes, leaf_lanes, leaves, shape.leaf_size, first_round);
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
  forms.permuteAll(states, first_round);
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

}  // namespace

void leaf_cv(const LeafShape& shape, const unsigned char* leaf, std::size_t size,
             unsigned char* cv) {
  keccak::SpongeInstance sponge;
  init_sponge(&sponge, shape.rate, shape.rounds);
  keccak::SpongeAbsorb(&sponge, leaf, size);
  finish_sponge(sponge, shape.suffix, cv, shape.cv_size);
}

namespace {

void absorb_node_prefix(const LeafShape& shape, keccak::SpongeInstance* node, std::uint64_t done) {
  if (done == 0 && shape.node_prefix_size > 0) {
    keccak::SpongeAbsorb(node, shape.node_prefix, shape.node_prefix_size);
  }
}

}  // namespace

void absorb_leaves(const LeafShape& shape, const unsigned char* leaves, std::size_t count,
                   keccak::SpongeInstance* node, std::uint64_t* done, util::ThreadPool* pool) {
  if (count == 0) return;
  absorb_node_prefix(shape, node, *done);
  *done += count;
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
        // Whole steps of `grain` leaves, so that only the last range of the
        // batch ends in a partial group of four.
        const auto hash_steps = [&](std::size_t first_step, std::size_t end_step) {
          const std::size_t begin = first_step * grain;
          const std::size_t end = std::min(n, end_step * grain);
          leaf_cvs(shape, run + begin * shape.leaf_size, end - begin,
                   cvs.get() + begin * shape.cv_size);
        };
        const std::size_t steps = (n + grain - 1) / grain;
        try {
          util::parallel_for(*pool, 0, steps, hash_steps, 1);
        } catch (const std::bad_alloc&) {
          // The loop's shared record could not be had: nothing has started
          // (leaf_cvs itself never throws), so this thread hashes the batch.
          hash_steps(0, steps);
        }
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

void feed_leaves(const LeafShape& shape, const LeafCursor& at, const unsigned char* data,
                 std::size_t size, util::ThreadPool* pool) {
  while (size > 0) {
    if (*at.fill == 0 && size >= shape.leaf_size) {
      const std::size_t count = size / shape.leaf_size;
      absorb_leaves(shape, data, count, at.node, at.leaves, pool);
      data += count * shape.leaf_size;
      size -= count * shape.leaf_size;
      continue;
    }
    if (*at.fill == 0) init_sponge(at.leaf, shape.rate, shape.rounds);
    const std::size_t take = std::min(size, shape.leaf_size - *at.fill);
    keccak::SpongeAbsorb(at.leaf, data, take);
    *at.fill += take;
    data += take;
    size -= take;
    if (*at.fill == shape.leaf_size) close_leaf(shape, at);
  }
}

void close_leaf(const LeafShape& shape, const LeafCursor& at) {
  if (*at.fill == 0) return;
  unsigned char cv[kMaxCvSize];
  finish_sponge(*at.leaf, shape.suffix, cv, shape.cv_size);
  absorb_node_prefix(shape, at.node, *at.leaves);
  keccak::SpongeAbsorb(at.node, cv, shape.cv_size);
  ++*at.leaves;
  *at.fill = 0;
}

}  // namespace vexo::detail
