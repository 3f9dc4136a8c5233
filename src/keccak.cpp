// Keccak-p[1600] and the sponge construction (FIPS 202), in compact form.
// NOLINTBEGIN(readability-identifier-naming)
#include "vexo/util/keccak.hpp"

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// The rounds are compiled twice, for x86-64-v3 (BMI1 andn for chi, BMI2 rorx
// for the rotations) and for the baseline, and the loader picks one through an
// ifunc. Left out:
// - ThreadSanitizer builds: the resolver runs before the TSan runtime is set
//   up and crashes (AddressSanitizer and UBSan builds work and keep it);
// - clang 14, whose resolver tests "arch=x86-64-v3" as a CPU model (it looks
//   at the vendor field) instead of the features, so it would take the
//   baseline on AMD and Intel and could pick the v3 code on a CPU without it.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define VEXO_KECCAK_SANITIZED 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define VEXO_KECCAK_SANITIZED 1
#endif

#if defined(__x86_64__) && defined(__ELF__) && defined(__GNUC__) && !defined(__clang__) && \
    __GNUC__ >= 12 && !defined(VEXO_KECCAK_SANITIZED) && !defined(VEXO_KECCAK_NO_DISPATCH)
#define VEXO_KECCAK_DISPATCH __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define VEXO_KECCAK_DISPATCH
#endif

namespace vexo::keccak {

namespace {

using tKeccakLane = std::uint64_t;
using tSmallUInt = std::uint_fast8_t;

constexpr std::size_t SnP_width = 1600;

static_assert(std::endian::native == std::endian::little,
              "the byte view of the state is the memory of its lanes");
static_assert(sizeof(tKeccakLane) * 25 == state_size);

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
constexpr auto KeccakP1600_RhoOffsets = [] {
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
constexpr auto KeccakF1600_RoundConstants = [] {
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

// Runs `rounds` rounds on the state with the given round constants, in order.
//
// This and the absorbing loops below are the out-of-line pieces of the
// permutation and the ones compiled per instruction set. The rounds go two
// per iteration, from the lanes A to E and back, so that no round copies the
// state; the loop is not unrolled further, which keeps the code small enough
// for the decoded-instruction cache. (One out-of-line round called 24 times
// measured 7-10% slower, as every round stores and reloads the state; 24
// inlined rounds were as fast or 30% slower depending on where the linker
// happened to place them.)
VEXO_KECCAK_DISPATCH void KeccakP1600_Rounds(void* argState, const tKeccakLane* roundConstants,
                                             tSmallUInt rounds) {
  tKeccakLane A[25];
  tKeccakLane E[25];
  tKeccakLane C[5];
  std::memcpy(A, argState, sizeof A);
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
  std::memcpy(argState, A, sizeof A);
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
  std::memcpy(A, argState, sizeof A);
  std::size_t processed = 0;
  while (dataByteLen - processed >= blockSize) {
    const unsigned char* in = data + processed;
    // Constant lane indices keep A in registers; the tests on laneCount are
    // the same for every block.
#pragma GCC unroll 25
    for (tSmallUInt i = 0; i < 25; ++i) {
      if (i < laneCount) {
        tKeccakLane lane;
        std::memcpy(&lane, in + std::size_t{8} * i, sizeof lane);
        A[i] ^= lane;
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
  std::memcpy(argState, A, sizeof A);
  return processed;
}

VEXO_KECCAK_DISPATCH std::size_t KeccakP1600_FastLoop_24rounds(void* argState,
                                                               unsigned int laneCount,
                                                               const unsigned char* data,
                                                               std::size_t dataByteLen) {
  return KeccakP1600_FastLoop<0>(argState, laneCount, data, dataByteLen);
}

VEXO_KECCAK_DISPATCH std::size_t KeccakP1600_FastLoop_12rounds(void* argState,
                                                               unsigned int laneCount,
                                                               const unsigned char* data,
                                                               std::size_t dataByteLen) {
  return KeccakP1600_FastLoop<12>(argState, laneCount, data, dataByteLen);
}

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
    KeccakP1600_Rounds(argState, roundConstants, batch);
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

}  // namespace

// ----------------------------------------------------------------------------
// State access
// ----------------------------------------------------------------------------

void KeccakP1600_Initialize(void* argState) { std::memset(argState, 0, state_size); }

void KeccakP1600_AddByte(void* state, unsigned char byte, unsigned int offset) {
  auto* lane = static_cast<unsigned char*>(state) + std::size_t{offset / 8} * 8;
  tKeccakLane value;
  std::memcpy(&value, lane, sizeof value);
  value ^= tKeccakLane{byte} << (8 * (offset % 8));
  std::memcpy(lane, &value, sizeof value);
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
  KeccakP1600_SplitBytes(
      offset, length, [&](unsigned int laneCount) { KeccakP1600_AddLanes(state, data, laneCount); },
      [&](unsigned int lanePosition, unsigned int offsetInLane, unsigned int bytes,
          std::size_t done) {
        KeccakP1600_AddBytesInLane(state, lanePosition, data + done, offsetInLane, bytes);
      });
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
  KeccakP1600_SplitBytes(
      offset, length,
      [&](unsigned int laneCount) { KeccakP1600_OverwriteLanes(state, data, laneCount); },
      [&](unsigned int lanePosition, unsigned int offsetInLane, unsigned int bytes,
          std::size_t done) {
        KeccakP1600_OverwriteBytesInLane(state, lanePosition, data + done, offsetInLane, bytes);
      });
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
  KeccakP1600_Rounds(state, KeccakF1600_RoundConstants.data() + 12, 12);
}

void KeccakP1600_Permute_24rounds(void* state) {
  KeccakP1600_Rounds(state, KeccakF1600_RoundConstants.data(), 24);
}

std::size_t KeccakF1600_FastLoop_Absorb(void* state, unsigned int laneCount,
                                        const unsigned char* data, std::size_t dataByteLen) {
  return KeccakP1600_FastLoop_24rounds(state, laneCount, data, dataByteLen);
}

std::size_t KeccakP1600_12rounds_FastLoop_Absorb(void* state, unsigned int laneCount,
                                                 const unsigned char* data,
                                                 std::size_t dataByteLen) {
  return KeccakP1600_FastLoop_12rounds(state, laneCount, data, dataByteLen);
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
  KeccakP1600_SplitBytes(
      offset, length,
      [&](unsigned int laneCount) { KeccakP1600_ExtractLanes(state, data, laneCount); },
      [&](unsigned int lanePosition, unsigned int offsetInLane, unsigned int bytes,
          std::size_t done) {
        KeccakP1600_ExtractBytesInLane(state, lanePosition, data + done, offsetInLane, bytes);
      });
}

void KeccakP1600_ExtractAndAddBytesInLane(const void* state, unsigned int lanePosition,
                                          const unsigned char* input, unsigned char* output,
                                          unsigned int offset, unsigned int length) {
  // The lane is read whole, so a call with no bytes must not read it at all.
  if (length == 0) {
    return;
  }
  tKeccakLane lane;
  std::memcpy(&lane, static_cast<const unsigned char*>(state) + std::size_t{lanePosition} * 8,
              sizeof lane);
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

// ----------------------------------------------------------------------------
// Four states at once
// ----------------------------------------------------------------------------
//
// The SIMD forms keep lane i of the four instances in one 256-bit vector, as
// the interleaved layout stores it, and run the rounds of KeccakP1600_RoundInto
// on those vectors: GCC and clang compile the vector extensions to AVX2, or
// with AVX-512VL to vprolq for the rotations and vpternlogq for theta and chi,
// with 32 registers instead of 16. The form is picked once, at the first call.

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

void KeccakP1600times4_PermuteAll_Portable(void* states, unsigned int rounds) {
  for (unsigned int j = 0; j < 4; ++j) {
    KeccakP1600times4_OnInstance(states, j, [rounds](void* state) {
      if (rounds == 12) {
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
                                                const unsigned char* data,
                                                std::size_t dataByteLen) {
  std::size_t processed = 0;
  for (unsigned int j = 0; j < 4; ++j) {
    KeccakP1600times4_OnInstance(states, j, [&](void* state) {
      processed = KeccakP1600_FastLoop_12rounds(
          state, laneCount, data + std::size_t{8} * laneOffsetParallel * j, dataByteLen);
    });
  }
  return processed;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define VEXO_KECCAK_TIMES4_SIMD 1

using tKeccakLane4 = tKeccakLane __attribute__((vector_size(32)));

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

template <KeccakP1600_Rotation rotation>
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
    KeccakP1600times4_Rounds<rotation>(A, 12);
    processed += blockSize;
  }
  KeccakP1600times4_StoreState(states, A);
  return processed;
}

__attribute__((target("avx2"))) void KeccakP1600times4_PermuteAll_Avx2(void* states,
                                                                       unsigned int firstRound) {
  KeccakP1600times4_PermuteAll_Simd<KeccakP1600_Rotation::bytesAndAdd>(states, firstRound);
}

__attribute__((target("avx2"))) std::size_t KeccakP1600times4_FastLoop_Avx2(
    void* states, unsigned int laneCount, unsigned int laneOffsetParallel,
    const unsigned char* data, std::size_t dataByteLen) {
  return KeccakP1600times4_FastLoop_Simd<KeccakP1600_Rotation::bytesAndAdd>(
      states, laneCount, laneOffsetParallel, data, dataByteLen);
}

__attribute__((target("avx2,avx512f,avx512vl"))) void KeccakP1600times4_PermuteAll_Avx512(
    void* states, unsigned int firstRound) {
  KeccakP1600times4_PermuteAll_Simd<KeccakP1600_Rotation::shifts>(states, firstRound);
}

__attribute__((target("avx2,avx512f,avx512vl"))) std::size_t KeccakP1600times4_FastLoop_Avx512(
    void* states, unsigned int laneCount, unsigned int laneOffsetParallel,
    const unsigned char* data, std::size_t dataByteLen) {
  return KeccakP1600times4_FastLoop_Simd<KeccakP1600_Rotation::shifts>(
      states, laneCount, laneOffsetParallel, data, dataByteLen);
}
#endif

enum class KeccakP1600times4_Form { portable, avx2, avx512 };

// Picks the fastest form the CPU runs, capped by the environment variable
// VEXO_KECCAK_TIMES4 ("portable" or "avx2"; see keccak.hpp).
KeccakP1600times4_Form KeccakP1600times4_ChooseForm() {
  const char* cap = std::getenv("VEXO_KECCAK_TIMES4");
  if (cap != nullptr && std::strcmp(cap, "portable") == 0) {
    return KeccakP1600times4_Form::portable;
  }
#if defined(VEXO_KECCAK_TIMES4_SIMD)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2") == 0) {
    return KeccakP1600times4_Form::portable;
  }
  if ((cap != nullptr && std::strcmp(cap, "avx2") == 0) || __builtin_cpu_supports("avx512f") == 0 ||
      __builtin_cpu_supports("avx512vl") == 0) {
    return KeccakP1600times4_Form::avx2;
  }
  return KeccakP1600times4_Form::avx512;
#else
  return KeccakP1600times4_Form::portable;
#endif
}

KeccakP1600times4_Form KeccakP1600times4_GetForm() {
  static const KeccakP1600times4_Form form = KeccakP1600times4_ChooseForm();
  return form;
}

void KeccakP1600times4_PermuteAll(void* states, unsigned int firstRound) {
  switch (KeccakP1600times4_GetForm()) {
#if defined(VEXO_KECCAK_TIMES4_SIMD)
    case KeccakP1600times4_Form::avx512:
      KeccakP1600times4_PermuteAll_Avx512(states, firstRound);
      return;
    case KeccakP1600times4_Form::avx2:
      KeccakP1600times4_PermuteAll_Avx2(states, firstRound);
      return;
#endif
    default:
      KeccakP1600times4_PermuteAll_Portable(states, 24 - firstRound);
      return;
  }
}

}  // namespace

const char* KeccakP1600times4_GetImplementation() {
  switch (KeccakP1600times4_GetForm()) {
    case KeccakP1600times4_Form::avx512:
      return "avx512";
    case KeccakP1600times4_Form::avx2:
      return "avx2";
    case KeccakP1600times4_Form::portable:
      break;
  }
  return "portable";
}

void KeccakP1600times4_InitializeAll(void* states) { std::memset(states, 0, states4_size); }

void KeccakP1600times4_AddLanesAll(void* states, const unsigned char* data, unsigned int laneCount,
                                   unsigned int laneOffset) {
  auto* lanes = static_cast<tKeccakLane*>(states);
  for (unsigned int j = 0; j < 4; ++j) {
    const unsigned char* in = data + std::size_t{8} * laneOffset * j;
    for (unsigned int i = 0; i < laneCount; ++i) {
      tKeccakLane lane;
      std::memcpy(&lane, in + std::size_t{8} * i, 8);
      lanes[4 * i + j] ^= lane;
    }
  }
}

void KeccakP1600times4_ExtractLanesAll(const void* states, unsigned char* data,
                                       unsigned int laneCount, unsigned int laneOffset) {
  const auto* lanes = static_cast<const tKeccakLane*>(states);
  for (unsigned int j = 0; j < 4; ++j) {
    unsigned char* out = data + std::size_t{8} * laneOffset * j;
    for (unsigned int i = 0; i < laneCount; ++i) {
      std::memcpy(out + std::size_t{8} * i, &lanes[4 * i + j], 8);
    }
  }
}

void KeccakP1600times4_PermuteAll_12rounds(void* states) {
  KeccakP1600times4_PermuteAll(states, 12);
}

void KeccakP1600times4_PermuteAll_24rounds(void* states) {
  KeccakP1600times4_PermuteAll(states, 0);
}

std::size_t KeccakP1600times4_12rounds_FastLoop_Absorb(void* states, unsigned int laneCount,
                                                       unsigned int laneOffsetParallel,
                                                       const unsigned char* data,
                                                       std::size_t dataByteLen) {
  switch (KeccakP1600times4_GetForm()) {
#if defined(VEXO_KECCAK_TIMES4_SIMD)
    case KeccakP1600times4_Form::avx512:
      return KeccakP1600times4_FastLoop_Avx512(states, laneCount, laneOffsetParallel, data,
                                               dataByteLen);
    case KeccakP1600times4_Form::avx2:
      return KeccakP1600times4_FastLoop_Avx2(states, laneCount, laneOffsetParallel, data,
                                             dataByteLen);
#endif
    default:
      return KeccakP1600times4_FastLoop_Portable(states, laneCount, laneOffsetParallel, data,
                                                 dataByteLen);
  }
}

// ----------------------------------------------------------------------------
// Sponge
// ----------------------------------------------------------------------------

// nrounds took the tail padding of the structure: its size and the offsets of
// the other members are those of the layout without it.
static_assert(sizeof(SpongeInstance) == 216 && offsetof(SpongeInstance, squeezing) == 208);

namespace {

bool SpongeParametersRefused(unsigned int rate, unsigned int capacity) {
  return rate + capacity != SnP_width || rate == 0 || rate > SnP_width || rate % 8 != 0;
}

}  // namespace

int Sponge(unsigned int rate, unsigned int capacity, const unsigned char* input,
           std::size_t inputByteLen, unsigned char suffix, unsigned char* output,
           std::size_t outputByteLen) {
  if (SpongeParametersRefused(rate, capacity) || suffix == 0) {
    return 1;
  }
  alignas(state_alignment) unsigned char state[state_size];
  KeccakP1600_Initialize(state);
  const unsigned int rateInBytes = rate / 8;

  if (rateInBytes % 8 == 0) {
    const std::size_t absorbed =
        KeccakF1600_FastLoop_Absorb(state, rateInBytes / 8, input, inputByteLen);
    input += absorbed;
    inputByteLen -= absorbed;
  }
  while (inputByteLen >= rateInBytes) {
    KeccakP1600_AddBytes(state, input, 0, rateInBytes);
    KeccakP1600_Permute_24rounds(state);
    input += rateInBytes;
    inputByteLen -= rateInBytes;
  }
  const auto partialBlock = static_cast<unsigned int>(inputByteLen);
  KeccakP1600_AddBytes(state, input, 0, partialBlock);

  KeccakP1600_AddByte(state, suffix, partialBlock);
  if ((suffix & 0x80) != 0 && partialBlock == rateInBytes - 1) {
    KeccakP1600_Permute_24rounds(state);
  }
  KeccakP1600_AddByte(state, 0x80, rateInBytes - 1);
  KeccakP1600_Permute_24rounds(state);

  while (outputByteLen > rateInBytes) {
    KeccakP1600_ExtractBytes(state, output, 0, rateInBytes);
    KeccakP1600_Permute_24rounds(state);
    output += rateInBytes;
    outputByteLen -= rateInBytes;
  }
  KeccakP1600_ExtractBytes(state, output, 0, static_cast<unsigned int>(outputByteLen));
  return 0;
}

namespace {

// Runs `body` with the permutation of `instance` as its argument, chosen once
// per call so that the block loops call the unrolled 12- or 24-round
// permutation directly.
// The whole-block absorbing loop of a round count, where there is one.
using FastLoopAbsorb = std::size_t (*)(void*, unsigned int, const unsigned char*, std::size_t);

template <typename Body>
inline int SpongeWithPermutation(const SpongeInstance* instance, Body body) {
  switch (instance->nrounds) {
    case 24:
      return body([](void* state) { KeccakP1600_Permute_24rounds(state); },
                  &KeccakF1600_FastLoop_Absorb);
    case 12:
      return body([](void* state) { KeccakP1600_Permute_12rounds(state); },
                  &KeccakP1600_12rounds_FastLoop_Absorb);
    default: {
      const unsigned int nrounds = instance->nrounds;
      return body([nrounds](void* state) { KeccakP1600_Permute_Nrounds(state, nrounds); },
                  FastLoopAbsorb{nullptr});
    }
  }
}

template <typename Permute>
int SpongeAbsorbLastFewBitsWith(SpongeInstance* instance, unsigned char delimitedData,
                                Permute permute) {
  const unsigned int rateInBytes = instance->rate / 8;
  KeccakP1600_AddByte(instance->state, delimitedData, instance->byteIOIndex);
  if ((delimitedData & 0x80) != 0 && instance->byteIOIndex == rateInBytes - 1) {
    permute(instance->state);
  }
  KeccakP1600_AddByte(instance->state, 0x80, rateInBytes - 1);
  permute(instance->state);
  instance->byteIOIndex = 0;
  instance->squeezing = 1;
  return 0;
}

}  // namespace

int SpongeInitialize(SpongeInstance* instance, unsigned int rate, unsigned int capacity) {
  return SpongeInitialize_Nrounds(instance, rate, capacity, 24);
}

int SpongeInitialize_Nrounds(SpongeInstance* instance, unsigned int rate, unsigned int capacity,
                             unsigned int nrounds) {
  if (SpongeParametersRefused(rate, capacity) || nrounds == 0 || nrounds > 24) {
    return 1;
  }
  KeccakP1600_Initialize(instance->state);
  instance->rate = rate;
  instance->byteIOIndex = 0;
  instance->squeezing = 0;
  instance->nrounds = nrounds;
  return 0;
}

int SpongeAbsorb(SpongeInstance* instance, const unsigned char* data, std::size_t dataByteLen) {
  if (instance->squeezing != 0) {
    return 1;
  }
  return SpongeWithPermutation(instance, [&](auto permute, FastLoopAbsorb fastLoop) {
    const unsigned int rateInBytes = instance->rate / 8;
    std::size_t i = 0;
    while (i < dataByteLen) {
      if (instance->byteIOIndex == 0 && dataByteLen - i >= rateInBytes) {
        if (fastLoop != nullptr && rateInBytes % 8 == 0) {
          i += fastLoop(instance->state, rateInBytes / 8, data + i, dataByteLen - i);
        }
        while (dataByteLen - i >= rateInBytes) {
          KeccakP1600_AddBytes(instance->state, data + i, 0, rateInBytes);
          permute(instance->state);
          i += rateInBytes;
        }
      } else {
        const std::size_t room = rateInBytes - instance->byteIOIndex;
        const auto partialBlock =
            static_cast<unsigned int>(dataByteLen - i < room ? dataByteLen - i : room);
        KeccakP1600_AddBytes(instance->state, data + i, instance->byteIOIndex, partialBlock);
        instance->byteIOIndex += partialBlock;
        i += partialBlock;
        if (instance->byteIOIndex == rateInBytes) {
          permute(instance->state);
          instance->byteIOIndex = 0;
        }
      }
    }
    return 0;
  });
}

int SpongeAbsorbLastFewBits(SpongeInstance* instance, unsigned char delimitedData) {
  if (delimitedData == 0 || instance->squeezing != 0) {
    return 1;
  }
  return SpongeWithPermutation(instance, [&](auto permute, FastLoopAbsorb) {
    return SpongeAbsorbLastFewBitsWith(instance, delimitedData, permute);
  });
}

int SpongeSqueeze(SpongeInstance* instance, unsigned char* data, std::size_t dataByteLen) {
  return SpongeWithPermutation(instance, [&](auto permute, FastLoopAbsorb) {
    if (instance->squeezing == 0) {
      SpongeAbsorbLastFewBitsWith(instance, 0x01, permute);
    }
    const unsigned int rateInBytes = instance->rate / 8;
    std::size_t i = 0;
    while (i < dataByteLen) {
      if (instance->byteIOIndex == rateInBytes && dataByteLen - i >= rateInBytes) {
        while (dataByteLen - i >= rateInBytes) {
          permute(instance->state);
          KeccakP1600_ExtractBytes(instance->state, data + i, 0, rateInBytes);
          i += rateInBytes;
        }
      } else {
        if (instance->byteIOIndex == rateInBytes) {
          permute(instance->state);
          instance->byteIOIndex = 0;
        }
        const std::size_t room = rateInBytes - instance->byteIOIndex;
        const auto partialBlock =
            static_cast<unsigned int>(dataByteLen - i < room ? dataByteLen - i : room);
        KeccakP1600_ExtractBytes(instance->state, data + i, instance->byteIOIndex, partialBlock);
        instance->byteIOIndex += partialBlock;
        i += partialBlock;
      }
    }
    return 0;
  });
}

}  // namespace vexo::keccak
// NOLINTEND(readability-identifier-naming)
