// The four-state Keccak-p[1600] permutation without vector instructions: the
// four instances one after another, each on the one-state form in use.
// NOLINTBEGIN(readability-identifier-naming)
#include <cstddef>

#include "keccak_impl.hpp"
#include "vexo/util/keccak.hpp"

namespace vexo::keccak::impl {

namespace {

// Runs `operation` on instance `instance` of the interleaved block, copied
// out to a single state and back.
template <typename Operation>
void KeccakP1600times4_OnInstance(void* states, unsigned int instance, Operation operation) {
  auto* lanes = static_cast<tKeccakLane*>(states);
  alignas(state_alignment) tKeccakLane state[25];
  for (unsigned int i = 0; i < 25; ++i) state[i] = lanes[4 * i + instance];
  operation(state);
  for (unsigned int i = 0; i < 25; ++i) lanes[4 * i + instance] = state[i];
}

}  // namespace

void KeccakP1600times4_PermuteAll_Portable(void* states, unsigned int firstRound) {
  for (unsigned int j = 0; j < 4; ++j) {
    KeccakP1600times4_OnInstance(states, j, [firstRound](void* state) {
      if (firstRound == 12) {
        KeccakP1600_Permute_12rounds(state);
      } else {
        KeccakP1600_Permute_24rounds(state);
      }
    });
  }
}

// Each instance reads its own run of blocks, so the portable form absorbs
// them with the single-state loop, one instance after another.
std::size_t KeccakP1600times4_FastLoop_Portable(void* states, unsigned int laneCount,
                                                unsigned int laneOffsetParallel,
                                                const unsigned char* data, std::size_t dataByteLen,
                                                unsigned int firstRound) {
  const auto fastLoop =
      firstRound == 12 ? &KeccakP1600_12rounds_FastLoop_Absorb : &KeccakF1600_FastLoop_Absorb;
  std::size_t processed = 0;
  for (unsigned int j = 0; j < 4; ++j) {
    KeccakP1600times4_OnInstance(states, j, [&](void* state) {
      processed =
          fastLoop(state, laneCount, data + std::size_t{8} * laneOffsetParallel * j, dataByteLen);
    });
  }
  return processed;
}

}  // namespace vexo::keccak::impl
// NOLINTEND(readability-identifier-naming)
