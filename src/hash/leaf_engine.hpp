// Private to the library: the leaves of the tree hashes (KT and
// ParallelHash). Both cut their input into leaves of one size, hash each leaf
// on its own into a chaining value, and absorb the chaining values in order
// into a final sponge; this is that middle step, shared.
#pragma once

#include <cstddef>
#include <cstdint>

#include "vexo/util/keccak.hpp"

namespace vexo::util {
class ThreadPool;
}  // namespace vexo::util

namespace vexo::detail {

// The shape of a tree's leaves: each leaf is `leaf_size` bytes hashed by the
// sponge of `rate` bits on Keccak-p[1600, rounds] with the delimited suffix
// `suffix`, and its first `cv_size` bytes of output are its chaining value.
struct LeafShape {
  unsigned int rate;      ///< bits, a multiple of 64: 1344 or 1088
  unsigned int rounds;    ///< 12 (KT) or 24 (ParallelHash)
  unsigned char suffix;   ///< 0x0B (KT's leaves), 0x1F (ParallelHash's)
  std::size_t leaf_size;  ///< bytes of a whole leaf, at least 1
  std::size_t cv_size;    ///< bytes of a chaining value, a multiple of 8 below rate / 8
  /// What the node absorbs just before the first chaining value: KT's
  /// 0x03 0x00^7 after the first chunk; nothing for ParallelHash.
  const unsigned char* node_prefix = nullptr;
  std::size_t node_prefix_size = 0;
};

// A tree between two inputs, as the pieces of its owner: the node, the count
// of chaining values it holds, and the leaf in progress, which holds `*fill`
// bytes (none when 0; below shape.leaf_size).
struct LeafCursor {
  keccak::SpongeInstance* node;
  std::uint64_t* leaves;
  keccak::SpongeInstance* leaf;
  std::size_t* fill;
};

// Writes the chaining value of the `size` bytes at `leaf` (a whole leaf, or
// the shorter last one) to cv[0 .. shape.cv_size).
void leaf_cv(const LeafShape& shape, const unsigned char* leaf, std::size_t size,
             unsigned char* cv);

// Absorbs into `node`, in order, the chaining values of the `count` whole
// leaves that follow each other at `leaves` (after shape's node prefix when
// `*done` is 0), and adds `count` to `*done`. Leaves go four at a time on the
// four-state permutation when the leaf size is a multiple of 8.
//
// With a `pool`, runs of leaves go to the calling thread and to helper tasks
// on the pool's workers. The calling thread never waits for a helper that
// has not started: it takes that work itself and removes the task; a helper
// removed by anyone else counts as done as well. So a call from a task of
// the same pool, with a full, busy or shared pool, or while another thread
// removes the pool's pending tasks, still finishes. The pool must outlive
// the call. Short runs (below 64 KiB) stay on the calling thread.
//
// Memory: none without a pool; with one, a buffer of chaining values of at
// most 1 MiB and one task per helper, per batch of at least 8 MiB of input;
// if the buffer cannot be had, the calling thread does all the work, and if
// a batch's parallel loop cannot be set up, it does that batch. So the call
// never throws, and `*done` stays right.
void absorb_leaves(const LeafShape& shape, const unsigned char* leaves, std::size_t count,
                   keccak::SpongeInstance* node, std::uint64_t* done, util::ThreadPool* pool);

// Feeds `size` bytes at `data` to the leaves of the tree at `at`, in place:
// whole leaves from a leaf boundary go to absorb_leaves (with `pool`), the
// rest into the leaf in progress, which is closed when it is whole.
void feed_leaves(const LeafShape& shape, const LeafCursor& at, const unsigned char* data,
                 std::size_t size, util::ThreadPool* pool);

// Closes the leaf in progress, if any: its chaining value goes into the node.
void close_leaf(const LeafShape& shape, const LeafCursor& at);

}  // namespace vexo::detail
