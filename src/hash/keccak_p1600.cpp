// The one-state Keccak-p[1600] permutation (FIPS 202): its rounds, compiled
// for each instruction-set level that keccak_dispatch.cpp chooses from, and
// the operations that read and write a state.
// NOLINTBEGIN(readability-identifier-naming)
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "keccak_impl.hpp"
#include "vexo/util/keccak.hpp"

namespace vexo::keccak {

namespace impl {

namespace {

// Runs `rounds` rounds on the state with the given round constants, in order.
//
// This and the absorbing loop below are compiled once per instruction set,
// as the out-of-line pieces of the permutation. The rounds go two
// per iteration, from the lanes A to E and back, so that no round copies the
// state; the loop is not unrolled further, which keeps the code small enough
// for the decoded-instruction cache. (One out-of-line round called 24 times
// measured 7-10% slower, as every round stores and reloads the state; 24
// inlined rounds were as fast or 30% slower depending on where the linker
// happened to place them.)
inline __attribute__((always_inline)) void KeccakP1600_RoundsBody(void* argState,
                                                                  const tKeccakLane* roundConstants,
                                                                  tSmallUInt rounds) {
  tKeccakLane A[25];
  tKeccakLane E[25];
  tKeccakLane C[5];
  KeccakP1600_LoadLanes(A, argState);
  KeccakP1600_ColumnParity(A, C);
  if ((rounds & 1) != 0) {
    KeccakP1600_RoundInto(A, E, C, *roundConstants);
    ++roundConstants;
    std::memcpy(A, E, sizeof A);
  }
  for (tSmallUInt pair = rounds / 2; pair > 0; --pair) {
    KeccakP1600_RoundInto(A, E, C, roundConstants[0]);
    KeccakP1600_RoundInto(E, A, C, roundConstants[1]);
    roundConstants += 2;
  }
  KeccakP1600_StoreLanes(argState, A);
}

// Absorbs whole blocks of `laneCount` lanes, each followed by the rounds from
// index `firstRound` to 23, with the lanes in registers from one block to the
// next. Returns the number of bytes absorbed.
template <tSmallUInt firstRound>
inline __attribute__((always_inline)) std::size_t KeccakP1600_FastLoop(void* argState,
                                                                       unsigned int laneCount,
                                                                       const unsigned char* data,
                                                                       std::size_t dataByteLen) {
  const std::size_t blockSize = std::size_t{8} * laneCount;
  tKeccakLane A[25];
  tKeccakLane E[25];
  KeccakP1600_LoadLanes(A, argState);
  std::size_t processed = 0;
  while (dataByteLen - processed >= blockSize) {
    const unsigned char* in = data + processed;
    // Constant lane indices keep A in registers; the tests on laneCount are
    // the same for every block.
#pragma GCC unroll 25
    for (tSmallUInt i = 0; i < 25; ++i) {
      if (i < laneCount) {
        A[i] ^= KeccakP1600_LoadLane(in + std::size_t{8} * i);
      }
    }
    tKeccakLane C[5];
    KeccakP1600_ColumnParity(A, C);
    for (tSmallUInt round = firstRound; round < 24; round += 2) {
      KeccakP1600_RoundInto(A, E, C, KeccakF1600_RoundConstants[round]);
      KeccakP1600_RoundInto(E, A, C, KeccakF1600_RoundConstants[round + 1]);
    }
    processed += blockSize;
  }
  KeccakP1600_StoreLanes(argState, A);
  return processed;
}

}  // namespace

// ----------------------------------------------------------------------------
// Forms
// ----------------------------------------------------------------------------

void KeccakP1600_Rounds_Generic(void* argState, const tKeccakLane* roundConstants,
                                tSmallUInt rounds) {
  KeccakP1600_RoundsBody(argState, roundConstants, rounds);
}

std::size_t KeccakP1600_FastLoop24_Generic(void* argState, unsigned int laneCount,
                                           const unsigned char* data, std::size_t dataByteLen) {
  return KeccakP1600_FastLoop<0>(argState, laneCount, data, dataByteLen);
}

std::size_t KeccakP1600_FastLoop12_Generic(void* argState, unsigned int laneCount,
                                           const unsigned char* data, std::size_t dataByteLen) {
  return KeccakP1600_FastLoop<12>(argState, laneCount, data, dataByteLen);
}

#if defined(VEXO_KECCAK_X86_FORMS)
// The same code with BMI1's andn for chi and BMI2's rorx for the rotations.
// The feature list is exactly what keccak_dispatch.cpp checks.
#define VEXO_KECCAK_AVX2_TARGET __attribute__((target("avx2,bmi,bmi2,fma")))

VEXO_KECCAK_AVX2_TARGET void KeccakP1600_Rounds_Avx2(void* argState,
                                                     const tKeccakLane* roundConstants,
                                                     tSmallUInt rounds) {
  KeccakP1600_RoundsBody(argState, roundConstants, rounds);
}

VEXO_KECCAK_AVX2_TARGET std::size_t KeccakP1600_FastLoop24_Avx2(void* argState,
                                                                unsigned int laneCount,
                                                                const unsigned char* data,
                                                                std::size_t dataByteLen) {
  return KeccakP1600_FastLoop<0>(argState, laneCount, data, dataByteLen);
}

VEXO_KECCAK_AVX2_TARGET std::size_t KeccakP1600_FastLoop12_Avx2(void* argState,
                                                                unsigned int laneCount,
                                                                const unsigned char* data,
                                                                std::size_t dataByteLen) {
  return KeccakP1600_FastLoop<12>(argState, laneCount, data, dataByteLen);
}
#endif

}  // namespace impl

using namespace impl;

namespace {

// Runs `rounds` rounds with the register starting at `LFSRinitialState`.
//
// The register runs just ahead of the rounds, up to 24 at a time, and hands
// them their constants (a register stepped at run time inside the rounds loop
// made a whole SHA3-256 hash 12-15% slower). The 12- and 24-round
// permutations take theirs from KeccakF1600_RoundConstants instead.
inline __attribute__((always_inline)) void KeccakP1600_Permute_NroundsLFSR(
    void* argState, unsigned int rounds, std::uint8_t LFSRinitialState) {
  tKeccakLane roundConstants[24];
  std::uint8_t LFSRstate = LFSRinitialState;
  while (rounds > 0) {
    const auto batch = static_cast<tSmallUInt>(rounds < 24 ? rounds : 24);
#pragma GCC unroll 24
    for (tSmallUInt round = 0; round < batch; ++round) {
      roundConstants[round] = KeccakF1600_GetNextRoundConstant(&LFSRstate);
    }
    KeccakP1600_GetForms().rounds(argState, roundConstants, batch);
    rounds -= batch;
  }
}

// XORs `lanes` lanes of bytes, byte by byte. The pointers do not overlap,
// which lets the compiler turn each lane into one 64-bit XOR also at -O2.
inline void KeccakP1600_AddLaneBytes(unsigned char* __restrict stateBytes,
                                     const unsigned char* __restrict data, tSmallUInt lanes) {
  for (tSmallUInt lane = 0; lane < lanes; ++lane) {
#pragma GCC unroll 8
    for (tSmallUInt i = 0; i < 8; ++i) {
      stateBytes[std::size_t{8} * lane + i] ^= data[std::size_t{8} * lane + i];
    }
  }
}

// The byte-range operations split a range into whole lanes and bytes in a
// lane: a range from offset 0 takes its whole lanes with one lane operation,
// any other range goes lane by lane. `lanes(laneCount)` and
// `bytesInLane(lanePosition, offsetInLane, length, done)` do the work, `done`
// being how many bytes of the range came before the piece. A range from
// offset 0 whose length is a multiple of 8 has no bytes left over, and the
// bytes-in-lane call is skipped: for a range that reaches the end of the
// state it would name lane 25, just past the state.
template <typename Lanes, typename BytesInLane>
inline void KeccakP1600_SplitBytes(unsigned int offset, unsigned int length, Lanes lanes,
                                   BytesInLane bytesInLane) {
  if (offset == 0) {
    lanes(length / 8);
    if (length % 8 != 0) {
      bytesInLane(length / 8, 0U, length % 8, std::size_t{length / 8} * 8);
    }
    return;
  }
  unsigned int lanePosition = offset / 8;
  unsigned int offsetInLane = offset % 8;
  std::size_t done = 0;
  while (length > 0) {
    const unsigned int bytesInThisLane = length < 8 - offsetInLane ? length : 8 - offsetInLane;
    bytesInLane(lanePosition, offsetInLane, bytesInThisLane, done);
    length -= bytesInThisLane;
    done += bytesInThisLane;
    ++lanePosition;
    offsetInLane = 0;
  }
}

// A byte-range operation on one data pointer, from its lane form
// (state, data, laneCount) and its in-lane form (state, lanePosition, data,
// offset, length).
template <auto Lanes, auto BytesInLane, typename State, typename Data>
inline void KeccakP1600_OnBytes(State state, Data data, unsigned int offset, unsigned int length) {
  KeccakP1600_SplitBytes(
      offset, length, [&](unsigned int laneCount) { Lanes(state, data, laneCount); },
      [&](unsigned int lanePosition, unsigned int offsetInLane, unsigned int bytes,
          std::size_t done) {
        BytesInLane(state, lanePosition, data + done, offsetInLane, bytes);
      });
}

}  // namespace

// ----------------------------------------------------------------------------
// State access
// ----------------------------------------------------------------------------

void KeccakP1600_Initialize(void* argState) { std::memset(argState, 0, state_size); }

void KeccakP1600_AddByte(void* state, unsigned char byte, unsigned int offset) {
  auto* lane = static_cast<unsigned char*>(state) + std::size_t{offset / 8} * 8;
  KeccakP1600_StoreLane(lane,
                        KeccakP1600_LoadLane(lane) ^ (tKeccakLane{byte} << (8 * (offset % 8))));
}

void KeccakP1600_AddBytesInLane(void* argState, unsigned int lanePosition,
                                const unsigned char* data, unsigned int offset,
                                unsigned int length) {
  auto* laneBytes = static_cast<unsigned char*>(argState) + std::size_t{lanePosition} * 8 + offset;
  const auto byteCount = static_cast<tSmallUInt>(length);
  for (tSmallUInt i = 0; i < byteCount; ++i) {
    laneBytes[i] ^= data[i];
  }
}

void KeccakP1600_AddLanes(void* state, const unsigned char* data, unsigned int laneCount) {
  KeccakP1600_AddLaneBytes(static_cast<unsigned char*>(state), data,
                           static_cast<tSmallUInt>(laneCount));
}

void KeccakP1600_AddBytes(void* state, const unsigned char* data, unsigned int offset,
                          unsigned int length) {
  KeccakP1600_OnBytes<&KeccakP1600_AddLanes, &KeccakP1600_AddBytesInLane>(state, data, offset,
                                                                          length);
}

void KeccakP1600_OverwriteBytesInLane(void* argState, unsigned int lanePosition,
                                      const unsigned char* data, unsigned int offset,
                                      unsigned int length) {
  if (length == 0) {
    return;
  }
  std::memcpy(static_cast<unsigned char*>(argState) + std::size_t{lanePosition} * 8 + offset, data,
              length);
}

void KeccakP1600_OverwriteLanes(void* state, const unsigned char* data, unsigned int laneCount) {
  if (laneCount == 0) {
    return;
  }
  std::memcpy(state, data, std::size_t{laneCount} * 8);
}

void KeccakP1600_OverwriteBytes(void* state, const unsigned char* data, unsigned int offset,
                                unsigned int length) {
  KeccakP1600_OnBytes<&KeccakP1600_OverwriteLanes, &KeccakP1600_OverwriteBytesInLane>(
      state, data, offset, length);
}

void KeccakP1600_OverwriteWithZeroes(void* argState, unsigned int byteCount) {
  std::memset(argState, 0, byteCount);
}

// ----------------------------------------------------------------------------
// Permutations
// ----------------------------------------------------------------------------

void KeccakP1600_Permute_Nrounds(void* state, unsigned int nrounds) {
  // Round indices run from 24 - nrounds to 23, and round i starts the register
  // 7i steps from 0x01. The register has period 255, so counts above 24
  // (negative round indices in FIPS 202) come out right modulo 255.
  std::uint8_t LFSRstate = 0x01;
  const auto skippedRounds = static_cast<tSmallUInt>((24 + 255 - nrounds % 255) % 255);
  for (tSmallUInt skipped = 0; skipped < skippedRounds; ++skipped) {
    KeccakF1600_GetNextRoundConstant(&LFSRstate);
  }
  KeccakP1600_Permute_NroundsLFSR(state, nrounds, LFSRstate);
}

void KeccakP1600_Permute_12rounds(void* state) {
  KeccakP1600_GetForms().rounds(state, KeccakF1600_RoundConstants.data() + 12, 12);
}

void KeccakP1600_Permute_24rounds(void* state) {
  KeccakP1600_GetForms().rounds(state, KeccakF1600_RoundConstants.data(), 24);
}

std::size_t KeccakF1600_FastLoop_Absorb(void* state, unsigned int laneCount,
                                        const unsigned char* data, std::size_t dataByteLen) {
  return KeccakP1600_GetForms().fastLoop24(state, laneCount, data, dataByteLen);
}

std::size_t KeccakP1600_12rounds_FastLoop_Absorb(void* state, unsigned int laneCount,
                                                 const unsigned char* data,
                                                 std::size_t dataByteLen) {
  return KeccakP1600_GetForms().fastLoop12(state, laneCount, data, dataByteLen);
}

// ----------------------------------------------------------------------------
// State extraction
// ----------------------------------------------------------------------------

void KeccakP1600_ExtractBytesInLane(const void* state, unsigned int lanePosition,
                                    unsigned char* data, unsigned int offset, unsigned int length) {
  if (length == 0) {
    return;
  }
  std::memcpy(data,
              static_cast<const unsigned char*>(state) + std::size_t{lanePosition} * 8 + offset,
              length);
}

void KeccakP1600_ExtractLanes(const void* state, unsigned char* data, unsigned int laneCount) {
  if (laneCount == 0) {
    return;
  }
  std::memcpy(data, state, std::size_t{laneCount} * 8);
}

void KeccakP1600_ExtractBytes(const void* state, unsigned char* data, unsigned int offset,
                              unsigned int length) {
  KeccakP1600_OnBytes<&KeccakP1600_ExtractLanes, &KeccakP1600_ExtractBytesInLane>(state, data,
                                                                                  offset, length);
}

void KeccakP1600_ExtractAndAddBytesInLane(const void* state, unsigned int lanePosition,
                                          const unsigned char* input, unsigned char* output,
                                          unsigned int offset, unsigned int length) {
  // The lane is read whole, so a call with no bytes must not read it at all.
  if (length == 0) {
    return;
  }
  tKeccakLane lane = KeccakP1600_LoadLane(static_cast<const unsigned char*>(state) +
                                          std::size_t{lanePosition} * 8);
  lane >>= 8 * offset;
  const auto byteCount = static_cast<tSmallUInt>(length);
  for (tSmallUInt i = 0; i < byteCount; ++i) {
    output[i] = static_cast<unsigned char>(input[i] ^ (lane & 0xFF));
    lane >>= 8;
  }
}

void KeccakP1600_ExtractAndAddLanes(const void* state, const unsigned char* input,
                                    unsigned char* output, unsigned int laneCount) {
  const auto* stateBytes = static_cast<const unsigned char*>(state);
  const auto lanes = static_cast<tSmallUInt>(laneCount);
  // Whole words XORed in memory order: the same bytes in either byte order.
  for (tSmallUInt i = 0; i < lanes; ++i) {
    tKeccakLane lane;
    tKeccakLane in;
    std::memcpy(&lane, stateBytes + std::size_t{i} * 8, sizeof lane);
    std::memcpy(&in, input + std::size_t{i} * 8, sizeof in);
    in ^= lane;
    std::memcpy(output + std::size_t{i} * 8, &in, sizeof in);
  }
}

void KeccakP1600_ExtractAndAddBytes(const void* state, const unsigned char* input,
                                    unsigned char* output, unsigned int offset,
                                    unsigned int length) {
  KeccakP1600_SplitBytes(
      offset, length,
      [&](unsigned int laneCount) {
        KeccakP1600_ExtractAndAddLanes(state, input, output, laneCount);
      },
      [&](unsigned int lanePosition, unsigned int offsetInLane, unsigned int bytes,
          std::size_t done) {
        KeccakP1600_ExtractAndAddBytesInLane(state, lanePosition, input + done, output + done,
                                             offsetInLane, bytes);
      });
}

}  // namespace vexo::keccak
// NOLINTEND(readability-identifier-naming)
