// The four-state Keccak-p[1600] permutation for AVX2: rotations by a whole byte are byte shuffles
// and the rotation by one an addition, as the shifts share the two busiest ports.
// keccak_dispatch.cpp calls it only on CPUs that have it.
// NOLINTBEGIN(readability-identifier-naming)
#include "keccak_impl.hpp"

#if defined(VEXO_KECCAK_X86_FORMS)
#include "keccak_times4_simd.hpp"

namespace vexo::keccak::impl {

__attribute__((target("avx2"))) void KeccakP1600times4_PermuteAll_Avx2(void* states,
                                                                       unsigned int firstRound) {
  KeccakP1600times4_PermuteAll_Simd<KeccakP1600_Rotation::bytesAndAdd>(states, firstRound);
}

__attribute__((target("avx2"))) std::size_t KeccakP1600times4_FastLoop_Avx2(
    void* states, unsigned int laneCount, unsigned int laneOffsetParallel,
    const unsigned char* data, std::size_t dataByteLen, unsigned int firstRound) {
  return KeccakP1600times4_FastLoop_Simd<KeccakP1600_Rotation::bytesAndAdd>(
      states, laneCount, laneOffsetParallel, data, dataByteLen, firstRound);
}

}  // namespace vexo::keccak::impl
#endif
// NOLINTEND(readability-identifier-naming)
