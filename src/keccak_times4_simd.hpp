// Private to the library: the four-state rounds on 256-bit vectors, which
// keccak_times4_avx2.cpp and keccak_times4_avx512.cpp compile for their
// instruction sets.
//
// The vector forms keep lane i of the four instances in one 256-bit vector,
// as the interleaved layout stores it, and run the rounds of
// KeccakP1600_RoundInto on those vectors: GCC and clang compile the vector
// extensions to AVX2, or with AVX-512VL to vprolq for the rotations and
// vpternlogq for theta and chi, with 32 registers instead of 16.
// NOLINTBEGIN(readability-identifier-naming)
#pragma once

#include <bit>
#include <cstddef>
#include <cstring>

#include "keccak_impl.hpp"

namespace vexo::keccak::impl {

using tKeccakLane4 = tKeccakLane __attribute__((vector_size(32)));

// The vector forms copy lanes between memory and registers as they are: the
// byte view of a state is their memory on x86-64 only.
static_assert(std::endian::native == std::endian::little);

inline __attribute__((always_inline)) void KeccakP1600times4_LoadState(tKeccakLane4* A,
                                                                       const void* states) {
  std::memcpy(A, states, states4_size);
}

inline __attribute__((always_inline)) void KeccakP1600times4_StoreState(void* states,
                                                                        const tKeccakLane4* A) {
  std::memcpy(states, A, states4_size);
}

// Runs the rounds from index `firstRound` to 23 (an even count), two per
// iteration so that the lanes go from A to E and back without copies.
template <KeccakP1600_Rotation rotation>
inline __attribute__((always_inline)) void KeccakP1600times4_Rounds(tKeccakLane4* A,
                                                                    unsigned int firstRound) {
  tKeccakLane4 E[25];
  tKeccakLane4 C[5];
  KeccakP1600_ColumnParity(A, C);
  for (unsigned int round = firstRound; round < 24; round += 2) {
    KeccakP1600_RoundInto<rotation>(A, E, C, KeccakF1600_RoundConstants[round]);
    KeccakP1600_RoundInto<rotation>(E, A, C, KeccakF1600_RoundConstants[round + 1]);
  }
}

template <KeccakP1600_Rotation rotation>
inline __attribute__((always_inline)) void KeccakP1600times4_PermuteAll_Simd(
    void* states, unsigned int firstRound) {
  tKeccakLane4 A[25];
  KeccakP1600times4_LoadState(A, states);
  KeccakP1600times4_Rounds<rotation>(A, firstRound);
  KeccakP1600times4_StoreState(states, A);
}

template <KeccakP1600_Rotation rotation, unsigned int firstRound>
inline __attribute__((always_inline)) std::size_t KeccakP1600times4_FastLoop_Simd(
    void* states, unsigned int laneCount, unsigned int laneOffsetParallel,
    const unsigned char* data, std::size_t dataByteLen) {
  const std::size_t blockSize = std::size_t{8} * laneCount;
  const std::size_t stride = std::size_t{8} * laneOffsetParallel;
  tKeccakLane4 A[25];
  KeccakP1600times4_LoadState(A, states);
  std::size_t processed = 0;
  const unsigned int wholeGroups = laneCount / 4 * 4;
  while (dataByteLen - processed >= blockSize) {
    const unsigned char* in[4] = {data + processed, data + processed + stride,
                                  data + processed + 2 * stride, data + processed + 3 * stride};
    // Four lanes of each instance at a time, transposed in registers; then
    // the lanes left over one by one. Constant lane indices keep A in
    // registers; the tests on laneCount are the same for every block.
#pragma GCC unroll 6
    for (tSmallUInt i = 0; i < 24; i += 4) {
      if (i < wholeGroups) {
        tKeccakLane4 rows[4];
#pragma GCC unroll 4
        for (tSmallUInt j = 0; j < 4; ++j) {
          std::memcpy(&rows[j], in[j] + std::size_t{8} * i, sizeof rows[j]);
        }
        const tKeccakLane4 low01 = __builtin_shufflevector(rows[0], rows[1], 0, 4, 2, 6);
        const tKeccakLane4 high01 = __builtin_shufflevector(rows[0], rows[1], 1, 5, 3, 7);
        const tKeccakLane4 low23 = __builtin_shufflevector(rows[2], rows[3], 0, 4, 2, 6);
        const tKeccakLane4 high23 = __builtin_shufflevector(rows[2], rows[3], 1, 5, 3, 7);
        A[i] ^= __builtin_shufflevector(low01, low23, 0, 1, 4, 5);
        A[i + 1] ^= __builtin_shufflevector(high01, high23, 0, 1, 4, 5);
        A[i + 2] ^= __builtin_shufflevector(low01, low23, 2, 3, 6, 7);
        A[i + 3] ^= __builtin_shufflevector(high01, high23, 2, 3, 6, 7);
      }
    }
#pragma GCC unroll 25
    for (tSmallUInt i = 0; i < 25; ++i) {
      if (i >= wholeGroups && i < laneCount) {
        tKeccakLane lane[4];
#pragma GCC unroll 4
        for (tSmallUInt j = 0; j < 4; ++j) {
          std::memcpy(&lane[j], in[j] + std::size_t{8} * i, sizeof lane[j]);
        }
        A[i] ^= tKeccakLane4{lane[0], lane[1], lane[2], lane[3]};
      }
    }
    KeccakP1600times4_Rounds<rotation>(A, firstRound);
    processed += blockSize;
  }
  KeccakP1600times4_StoreState(states, A);
  return processed;
}

// The absorbing loop with its round count as a constant.
template <KeccakP1600_Rotation rotation>
inline __attribute__((always_inline)) std::size_t KeccakP1600times4_FastLoop_Simd(
    void* states, unsigned int laneCount, unsigned int laneOffsetParallel,
    const unsigned char* data, std::size_t dataByteLen, unsigned int firstRound) {
  if (firstRound == 0) {
    return KeccakP1600times4_FastLoop_Simd<rotation, 0>(states, laneCount, laneOffsetParallel, data,
                                                        dataByteLen);
  }
  return KeccakP1600times4_FastLoop_Simd<rotation, 12>(states, laneCount, laneOffsetParallel, data,
                                                       dataByteLen);
}

}  // namespace vexo::keccak::impl
// NOLINTEND(readability-identifier-naming)
