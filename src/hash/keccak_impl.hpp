// Private to the library: what the Keccak-p[1600] sources share. The rounds
// as inline templates, for one lane or a vector of lanes, which each form
// compiles for its own instruction set; and the table of forms that
// keccak_dispatch.cpp fills once per process.
//
// Names follow the published Keccak reference interface, as in keccak.hpp.
// NOLINTBEGIN(readability-identifier-naming)
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "vexo/util/keccak.hpp"

namespace vexo::keccak::impl {

using tKeccakLane = std::uint64_t;
using tSmallUInt = std::uint_fast8_t;

static_assert(sizeof(tKeccakLane) * 25 == state_size);

// ----------------------------------------------------------------------------
// Byte order
// ----------------------------------------------------------------------------

// A state's memory is its byte view on every host: the lanes in order, each
// as its 8 bytes little-endian (FIPS 202, 3.1.2 and B.1: bit 8i + j of a
// lane is bit j of byte i). The rounds work on lanes as numbers, and every
// place that reads state or input memory as lanes goes through these:
// copies on a little-endian host, and one byte swap per lane on a big-endian
// one. Code that only XORs or copies whole lanes between memory and memory
// works on bytes and needs neither.
static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big,
              "lanes are loaded and stored for two byte orders");

// Returns the lane whose little-endian encoding is at `bytes`.
inline __attribute__((always_inline)) tKeccakLane KeccakP1600_LoadLane(const unsigned char* bytes) {
  tKeccakLane lane;
  std::memcpy(&lane, bytes, sizeof lane);
  if constexpr (std::endian::native == std::endian::big) {
    lane = __builtin_bswap64(lane);
  }
  return lane;
}

// Writes the little-endian encoding of `lane` to `bytes`.
inline __attribute__((always_inline)) void KeccakP1600_StoreLane(unsigned char* bytes,
                                                                 tKeccakLane lane) {
  if constexpr (std::endian::native == std::endian::big) {
    lane = __builtin_bswap64(lane);
  }
  std::memcpy(bytes, &lane, sizeof lane);
}

// Reads the 25 lanes of a state, from its byte view.
inline __attribute__((always_inline)) void KeccakP1600_LoadLanes(tKeccakLane* lanes,
                                                                 const void* state) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(lanes, state, state_size);
  } else {
    for (unsigned int i = 0; i < 25; ++i) {
      lanes[i] =
          KeccakP1600_LoadLane(static_cast<const unsigned char*>(state) + std::size_t{8} * i);
    }
  }
}

// Writes the 25 lanes to a state, as its byte view.
inline __attribute__((always_inline)) void KeccakP1600_StoreLanes(void* state,
                                                                  const tKeccakLane* lanes) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(state, lanes, state_size);
  } else {
    for (unsigned int i = 0; i < 25; ++i) {
      KeccakP1600_StoreLane(static_cast<unsigned char*>(state) + std::size_t{8} * i, lanes[i]);
    }
  }
}

// Returns the next round constant and advances the register by seven steps
// (the rc function of FIPS 202, x^8 + x^6 + x^5 + x^4 + 1). When the calls are
// unrolled from a known register value they fold into constants.
constexpr tKeccakLane KeccakF1600_GetNextRoundConstant(std::uint8_t* LFSR) {
  tKeccakLane result = 0;
#pragma GCC unroll 7
  for (tSmallUInt j = 0; j < 7; ++j) {
    if ((*LFSR & 0x01) != 0) {
      result ^= tKeccakLane{1} << ((1U << j) - 1U);
    }
    if ((*LFSR & 0x80) != 0) {
      *LFSR = static_cast<std::uint8_t>((*LFSR << 1) ^ 0x71);
    } else {
      *LFSR = static_cast<std::uint8_t>(*LFSR << 1);
    }
  }
  return result;
}

constexpr bool KeccakF1600_CheckRegister() {
  std::uint8_t LFSR = 0x01;
  tKeccakLane first = KeccakF1600_GetNextRoundConstant(&LFSR);
  tKeccakLane second = KeccakF1600_GetNextRoundConstant(&LFSR);
  for (int i = 2; i < 12; ++i) {
    KeccakF1600_GetNextRoundConstant(&LFSR);
  }
  const std::uint8_t atTwelve = LFSR;
  tKeccakLane last = 0;
  for (int i = 12; i < 24; ++i) {
    last = KeccakF1600_GetNextRoundConstant(&LFSR);
  }
  return first == 0x1 && second == 0x8082 && atTwelve == 0xD5 && last == 0x8000000080008008;
}
static_assert(KeccakF1600_CheckRegister());

// The rotation offset of rho for lane x + 5y, from FIPS 202 Algorithm 2.
inline constexpr auto KeccakP1600_RhoOffsets = [] {
  std::array<std::uint8_t, 25> offsets{};
  unsigned int x = 1;
  unsigned int y = 0;
  for (unsigned int t = 0; t < 24; ++t) {
    offsets[x + 5 * y] = static_cast<std::uint8_t>((t + 1) * (t + 2) / 2 % 64);
    const unsigned int nextY = (2 * x + 3 * y) % 5;
    x = y;
    y = nextY;
  }
  return offsets;
}();

// The round constants of rounds 0 to 23.
inline constexpr auto KeccakF1600_RoundConstants = [] {
  std::array<tKeccakLane, 24> constants{};
  std::uint8_t LFSR = 0x01;
  for (auto& constant : constants) {
    constant = KeccakF1600_GetNextRoundConstant(&LFSR);
  }
  return constants;
}();
static_assert(KeccakF1600_RoundConstants[23] == 0x8000000080008008);

// How a vector form rotates: with two shifts and an OR everywhere, or, where
// the shifts share the two busiest ports (AVX2), with one byte shuffle for
// rotations by a whole byte and an addition for the rotation by one.
enum class KeccakP1600_Rotation { shifts, bytesAndAdd };

// Sets `out` to `in` rotated left by `n` (0 to 63) bits, in each 64-bit
// element when T is a vector of lanes.
template <KeccakP1600_Rotation rotation = KeccakP1600_Rotation::shifts, typename T>
inline __attribute__((always_inline)) void KeccakP1600_RotateInto(T& out, const T& in,
                                                                  unsigned int n) {
  if (n == 0) {
    out = in;
    return;
  }
  if constexpr (rotation == KeccakP1600_Rotation::bytesAndAdd) {
    using tBytes = unsigned char __attribute__((vector_size(32)));
    static_assert(sizeof(T) == 32);
    const auto bytes = __builtin_bit_cast(tBytes, in);
    if (n == 8) {
      out = __builtin_bit_cast(
          T, __builtin_shufflevector(bytes, bytes, 7, 0, 1, 2, 3, 4, 5, 6, 15, 8, 9, 10, 11, 12, 13,
                                     14, 23, 16, 17, 18, 19, 20, 21, 22, 31, 24, 25, 26, 27, 28, 29,
                                     30));
      return;
    }
    if (n == 56) {
      out = __builtin_bit_cast(
          T, __builtin_shufflevector(bytes, bytes, 1, 2, 3, 4, 5, 6, 7, 0, 9, 10, 11, 12, 13, 14,
                                     15, 8, 17, 18, 19, 20, 21, 22, 23, 16, 25, 26, 27, 28, 29, 30,
                                     31, 24));
      return;
    }
    if (n == 1) {
      out = (in + in) | (in >> 63);
      return;
    }
  }
  out = (in << n) | (in >> (64 - n));
}

// Sets C[x] to the parity of column x of the lanes A (theta's C).
template <typename T>
inline __attribute__((always_inline)) void KeccakP1600_ColumnParity(const T* A, T* C) {
#pragma GCC unroll 5
  for (tSmallUInt x = 0; x < 5; ++x) {
    C[x] = A[x] ^ A[x + 5] ^ A[x + 10] ^ A[x + 15] ^ A[x + 20];
  }
}

// One round from the lanes A to the lanes E, written plane by plane: output
// lane (x, y) is lane (x + 3y, x) of A after theta and rho (FIPS 202's pi),
// and chi combines the five lanes of an output plane. C holds the column
// parities of A on entry and of E on return: they are summed as the planes
// come out, so that no lane is read twice. T is a lane or a vector of lanes,
// one per instance. Every loop unrolls completely, so the indices fold into
// the code.
template <KeccakP1600_Rotation rotation = KeccakP1600_Rotation::shifts, typename T>
inline __attribute__((always_inline)) void KeccakP1600_RoundInto(const T* A, T* E, T* C,
                                                                 tKeccakLane roundConstant) {
  T D[5];
#pragma GCC unroll 5
  for (tSmallUInt x = 0; x < 5; ++x) {
    KeccakP1600_RotateInto<rotation>(D[x], C[(x + 1) % 5], 1);
    D[x] ^= C[(x + 4) % 5];
  }
#pragma GCC unroll 5
  for (tSmallUInt y = 0; y < 5; ++y) {
    T B[5];
#pragma GCC unroll 5
    for (tSmallUInt x = 0; x < 5; ++x) {
      const unsigned int source = (x + 3U * y) % 5 + 5U * x;
      const T lane = A[source] ^ D[(x + 3U * y) % 5];
      KeccakP1600_RotateInto<rotation>(B[x], lane, KeccakP1600_RhoOffsets[source]);
    }
#pragma GCC unroll 5
    for (tSmallUInt x = 0; x < 5; ++x) {
      T lane = B[x] ^ (~B[(x + 1) % 5] & B[(x + 2) % 5]);
      if (x == 0 && y == 0) {
        lane ^= roundConstant;
      }
      E[x + 5 * y] = lane;
      if (y == 0) {
        C[x] = lane;
      } else {
        C[x] ^= lane;
      }
    }
  }
}

// ----------------------------------------------------------------------------
// Forms
// ----------------------------------------------------------------------------

// Runs `rounds` rounds on one state with the given round constants, in order.
using KeccakP1600_RoundsFunction = void (*)(void* argState, const tKeccakLane* roundConstants,
                                            tSmallUInt rounds);
// Absorbs whole blocks into one state (see KeccakF1600_FastLoop_Absorb).
using KeccakP1600_FastLoopFunction = std::size_t (*)(void* argState, unsigned int laneCount,
                                                     const unsigned char* data,
                                                     std::size_t dataByteLen);
// Runs the rounds from index `firstRound` (0 or 12) to 23 on four states.
using KeccakP1600times4_PermuteFunction = void (*)(void* states, unsigned int firstRound);
// Absorbs whole blocks into four states, each block followed by the rounds
// from index `firstRound` (0 or 12) to 23 (see
// KeccakP1600times4_12rounds_FastLoop_Absorb).
using KeccakP1600times4_FastLoopFunction = std::size_t (*)(void* states, unsigned int laneCount,
                                                           unsigned int laneOffsetParallel,
                                                           const unsigned char* data,
                                                           std::size_t dataByteLen,
                                                           unsigned int firstRound);

// One form of the code for a level of the instruction set: every form gives
// the same bytes.
struct KeccakP1600_Forms {
  const char* name;  ///< "portable", "avx2" or "avx512"
  KeccakP1600_RoundsFunction rounds;
  KeccakP1600_FastLoopFunction fastLoop24;
  KeccakP1600_FastLoopFunction fastLoop12;
  KeccakP1600times4_PermuteFunction permuteAll;
  KeccakP1600times4_FastLoopFunction fastLoopAll;
};

// Returns the forms in use, picked at the first call (keccak_dispatch.cpp).
const KeccakP1600_Forms& KeccakP1600_GetForms();

// keccak_p1600.cpp: the one-state rounds for the baseline instruction set
// and for CPUs with AVX2, BMI1, BMI2 and FMA (andn for chi, rorx for the
// rotations).
void KeccakP1600_Rounds_Generic(void* argState, const tKeccakLane* roundConstants,
                                tSmallUInt rounds);
std::size_t KeccakP1600_FastLoop24_Generic(void* argState, unsigned int laneCount,
                                           const unsigned char* data, std::size_t dataByteLen);
std::size_t KeccakP1600_FastLoop12_Generic(void* argState, unsigned int laneCount,
                                           const unsigned char* data, std::size_t dataByteLen);
#if defined(__x86_64__) && defined(__GNUC__)
#define VEXO_KECCAK_X86_FORMS 1
void KeccakP1600_Rounds_Avx2(void* argState, const tKeccakLane* roundConstants, tSmallUInt rounds);
std::size_t KeccakP1600_FastLoop24_Avx2(void* argState, unsigned int laneCount,
                                        const unsigned char* data, std::size_t dataByteLen);
std::size_t KeccakP1600_FastLoop12_Avx2(void* argState, unsigned int laneCount,
                                        const unsigned char* data, std::size_t dataByteLen);
#endif

// keccak_times4_portable.cpp: the four states one after another, on the
// one-state forms in use.
void KeccakP1600times4_PermuteAll_Portable(void* states, unsigned int firstRound);
std::size_t KeccakP1600times4_FastLoop_Portable(void* states, unsigned int laneCount,
                                                unsigned int laneOffsetParallel,
                                                const unsigned char* data, std::size_t dataByteLen,
                                                unsigned int firstRound);

#if defined(VEXO_KECCAK_X86_FORMS)
// keccak_times4_avx2.cpp and keccak_times4_avx512.cpp.
void KeccakP1600times4_PermuteAll_Avx2(void* states, unsigned int firstRound);
std::size_t KeccakP1600times4_FastLoop_Avx2(void* states, unsigned int laneCount,
                                            unsigned int laneOffsetParallel,
                                            const unsigned char* data, std::size_t dataByteLen,
                                            unsigned int firstRound);
void KeccakP1600times4_PermuteAll_Avx512(void* states, unsigned int firstRound);
std::size_t KeccakP1600times4_FastLoop_Avx512(void* states, unsigned int laneCount,
                                              unsigned int laneOffsetParallel,
                                              const unsigned char* data, std::size_t dataByteLen,
                                              unsigned int firstRound);
#endif

}  // namespace vexo::keccak::impl
// NOLINTEND(readability-identifier-naming)
