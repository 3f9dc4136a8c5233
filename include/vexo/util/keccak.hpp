/// \file
/// The Keccak layer under the hashing functions: the Keccak-p[1600]
/// permutation of FIPS 202 (one state, or four at once), the operations that
/// read and write its 200-byte state, and the sponge construction on top of
/// them, one-shot or incremental.
///
/// The names and conventions are those of the published Keccak reference
/// interface (`KeccakP1600_*`, `Sponge*`, `int` results), so that code written
/// against that interface reads the same here; the library keeps that style
/// in this header and in its keccak_*.cpp sources.
///
/// Conventions of this layer:
/// - A state is a caller-owned block of state_size bytes aligned to
///   state_alignment, passed as an untyped pointer. Byte i of the state is byte
///   i mod 8 (least significant first) of lane i div 8; lane x + 5y is the
///   FIPS 202 lane (x, y).
/// - Arguments are never checked. Byte ranges must lie within the state
///   (offset + length <= 200), lane counts within the 25 lanes (laneCount <=
///   25), bytes-in-lane ranges within one lane (lanePosition <= 24,
///   offset + length <= 8). Buffers must hold the stated number of bytes; a
///   pointer may be null only where its length is 0.
/// - Sponge functions return 0 for success and 1 for a refused call, which
///   changes nothing. Nothing throws and nothing allocates.
/// - Every function is reentrant. Different states or instances may be used
///   from different threads at once; one state or instance must not be used
///   from two threads at the same time without outside locking.
#pragma once

#include <cstddef>

#include "vexo/util/export.hpp"

namespace vexo::keccak {

/// Size of a Keccak-p[1600] state in bytes (1600 bits).
inline constexpr std::size_t state_size = 200;

/// Alignment that a state block must have: that of a 64-bit lane.
inline constexpr std::size_t state_alignment = 8;

// ----------------------------------------------------------------------------
// Permutation and state access
// ----------------------------------------------------------------------------

/// Sets all 200 bytes of the state to zero.
VEXO_API void KeccakP1600_Initialize(void* argState);

/// XORs `byte` into state byte `offset` (0 to 199).
VEXO_API void KeccakP1600_AddByte(void* state, unsigned char byte, unsigned int offset);

/// XORs the `length` bytes at `data` into bytes offset to offset + length - 1
/// of lane `lanePosition`. Touches no memory when `length` is 0.
VEXO_API void KeccakP1600_AddBytesInLane(void* argState, unsigned int lanePosition,
                                         const unsigned char* data, unsigned int offset,
                                         unsigned int length);

/// XORs the first laneCount * 8 bytes at `data` into the first laneCount * 8
/// bytes of the state. `data` must not overlap the state (nor must it for
/// KeccakP1600_AddBytes).
VEXO_API void KeccakP1600_AddLanes(void* state, const unsigned char* data, unsigned int laneCount);

/// XORs the `length` bytes at `data` into state bytes offset to
/// offset + length - 1. Touches nothing outside that range, also when the
/// range ends at the end of the state.
VEXO_API void KeccakP1600_AddBytes(void* state, const unsigned char* data, unsigned int offset,
                                   unsigned int length);

/// Copies the `length` bytes at `data` into lane `lanePosition` from byte
/// `offset` on. Touches no memory when `length` is 0.
VEXO_API void KeccakP1600_OverwriteBytesInLane(void* argState, unsigned int lanePosition,
                                               const unsigned char* data, unsigned int offset,
                                               unsigned int length);

/// Copies laneCount * 8 bytes from `data` to the start of the state.
VEXO_API void KeccakP1600_OverwriteLanes(void* state, const unsigned char* data,
                                         unsigned int laneCount);

/// Copies the `length` bytes at `data` into state bytes offset to
/// offset + length - 1, and nothing else.
VEXO_API void KeccakP1600_OverwriteBytes(void* state, const unsigned char* data,
                                         unsigned int offset, unsigned int length);

/// Sets the first `byteCount` bytes of the state (0 to 200) to zero.
VEXO_API void KeccakP1600_OverwriteWithZeroes(void* argState, unsigned int byteCount);

/// Applies Keccak-p[1600, nrounds], the last `nrounds` rounds of Keccak-f[1600]
/// (round indices 24 - nrounds to 23), for every count: counts above 24 run
/// FIPS 202's rounds with negative indices first; 0 leaves the state unchanged.
/// Costs nrounds rounds.
VEXO_API void KeccakP1600_Permute_Nrounds(void* state, unsigned int nrounds);

/// Applies Keccak-p[1600, 12] (round indices 12 to 23).
VEXO_API void KeccakP1600_Permute_12rounds(void* state);

/// Applies Keccak-f[1600], all 24 rounds.
VEXO_API void KeccakP1600_Permute_24rounds(void* state);

/// Absorbs whole blocks of `laneCount` lanes (1 to 25) from `data`, each
/// XORed into the first lanes of the state and followed by Keccak-f[1600], for
/// as long as `dataByteLen` bytes hold another block. Returns the number of
/// bytes absorbed (a multiple of laneCount * 8, at most dataByteLen); reads no
/// byte past them. Equivalent to AddLanes and Permute_24rounds per block,
/// without a call per block and with the lanes in registers between blocks.
VEXO_API std::size_t KeccakF1600_FastLoop_Absorb(void* state, unsigned int laneCount,
                                                 const unsigned char* data,
                                                 std::size_t dataByteLen);

/// As KeccakF1600_FastLoop_Absorb, with Keccak-p[1600, 12] after each block.
VEXO_API std::size_t KeccakP1600_12rounds_FastLoop_Absorb(void* state, unsigned int laneCount,
                                                          const unsigned char* data,
                                                          std::size_t dataByteLen);

/// Copies `length` bytes of lane `lanePosition`, from byte `offset` on, to
/// `data`. Touches no memory when `length` is 0.
VEXO_API void KeccakP1600_ExtractBytesInLane(const void* state, unsigned int lanePosition,
                                             unsigned char* data, unsigned int offset,
                                             unsigned int length);

/// Copies the first laneCount * 8 bytes of the state to `data`.
VEXO_API void KeccakP1600_ExtractLanes(const void* state, unsigned char* data,
                                       unsigned int laneCount);

/// Copies state bytes offset to offset + length - 1 to `data`, and reads
/// nothing else.
VEXO_API void KeccakP1600_ExtractBytes(const void* state, unsigned char* data, unsigned int offset,
                                       unsigned int length);

/// Sets output[k] = input[k] XOR byte offset + k of lane `lanePosition`, for k
/// below `length`. Touches no memory when `length` is 0. `input` and `output`
/// may be the same buffer.
VEXO_API void KeccakP1600_ExtractAndAddBytesInLane(const void* state, unsigned int lanePosition,
                                                   const unsigned char* input,
                                                   unsigned char* output, unsigned int offset,
                                                   unsigned int length);

/// Sets output lane k = input lane k XOR state lane k, for k below laneCount
/// (8 bytes per lane). `input` and `output` may be the same buffer.
VEXO_API void KeccakP1600_ExtractAndAddLanes(const void* state, const unsigned char* input,
                                             unsigned char* output, unsigned int laneCount);

/// Sets the `length` bytes of `output` to those of `input` XOR state bytes
/// offset to offset + length - 1, and reads no other state byte. `input` and
/// `output` may be the same buffer.
VEXO_API void KeccakP1600_ExtractAndAddBytes(const void* state, const unsigned char* input,
                                             unsigned char* output, unsigned int offset,
                                             unsigned int length);

// ----------------------------------------------------------------------------
// Four states at once
// ----------------------------------------------------------------------------
//
// Four independent Keccak-p[1600] states in one caller-owned block of
// states4_size bytes aligned to states4_alignment, lane-interleaved: lane i of
// instance j is the 64-bit word at index 4 * i + j. On x86-64 CPUs with AVX2
// (and faster with AVX-512VL) the permutations run the four states in one
// pass, each 64-bit word in a vector element; elsewhere they run them one
// after another. The conventions above apply (no checks, no allocation,
// reentrant). All forms compute the same bytes.
//
// The form is picked at the first call and kept for the life of the process.
// The environment variable VEXO_KECCAK_TIMES4, read at that moment, caps it:
// "portable" takes the one-after-another form, "avx2" takes AVX2 even where
// AVX-512VL is available (for testing and measuring the other forms; any
// other value changes nothing). It is the 2.0 name of VEXO_KECCAK (see
// KeccakP1600_GetImplementation), which wins when both are set, and like it
// now caps the one-state code too.

/// Size of a block of four interleaved states in bytes.
inline constexpr std::size_t states4_size = 4 * state_size;
/// Alignment that a block of four interleaved states must have.
inline constexpr std::size_t states4_alignment = 32;

/// Returns the name of the form in use: "avx512", "avx2" or "portable", as a
/// static string. Picks the form if no call has done so yet. Since 2.1 the
/// same as KeccakP1600_GetImplementation().
VEXO_API const char* KeccakP1600times4_GetImplementation();

/// Returns the name of the code level in use for every permutation of this
/// file, one state and four, as a static string:
/// - "avx512": one-state rounds with BMI1/BMI2 (andn, rorx), four-state
///   rounds on AVX-512VL;
/// - "avx2": the same one-state rounds, four-state rounds on AVX2;
/// - "portable": baseline x86-64 (or the host's) one-state rounds, the four
///   states one after another.
/// The level is picked at the first call of any permutation (or of this
/// query) and kept for the life of the process: the fastest the CPU runs,
/// "avx2" needing AVX2, BMI1, BMI2 and FMA and "avx512" also AVX-512F and
/// AVX-512VL. The environment variable VEXO_KECCAK, read at that moment, caps
/// it: "portable" or "avx2" (for testing and measuring; any other value
/// changes nothing). All levels compute the same bytes.
VEXO_API const char* KeccakP1600_GetImplementation();

/// Sets all four states to zero.
VEXO_API void KeccakP1600times4_InitializeAll(void* states);

/// XORs `laneCount` lanes (0 to 25) into the first lanes of each instance:
/// instance j takes the laneCount * 8 bytes at data + j * laneOffset * 8.
VEXO_API void KeccakP1600times4_AddLanesAll(void* states, const unsigned char* data,
                                            unsigned int laneCount, unsigned int laneOffset);

/// Copies the first `laneCount` lanes of instance j to data + j * laneOffset * 8.
VEXO_API void KeccakP1600times4_ExtractLanesAll(const void* states, unsigned char* data,
                                                unsigned int laneCount, unsigned int laneOffset);

/// Applies Keccak-p[1600, 12] to each of the four states.
VEXO_API void KeccakP1600times4_PermuteAll_12rounds(void* states);

/// Applies Keccak-f[1600] (24 rounds) to each of the four states.
VEXO_API void KeccakP1600times4_PermuteAll_24rounds(void* states);

/// Absorbs whole blocks of `laneCount` lanes (1 to 25) into each instance, each followed
/// by Keccak-p[1600, 12], for as long as `dataByteLen` bytes hold another
/// block: instance j reads its blocks one after another from
/// data + j * laneOffsetParallel * 8. Returns the number of bytes absorbed per
/// instance (a multiple of laneCount * 8). Equivalent to AddLanesAll and
/// PermuteAll_12rounds per block, without a call per block.
VEXO_API std::size_t KeccakP1600times4_12rounds_FastLoop_Absorb(void* states,
                                                                unsigned int laneCount,
                                                                unsigned int laneOffsetParallel,
                                                                const unsigned char* data,
                                                                std::size_t dataByteLen);

// ----------------------------------------------------------------------------
// Sponge construction on Keccak-f[1600] (or Keccak-p[1600, nrounds])
// ----------------------------------------------------------------------------

/// SpongeInstance is a sponge in the middle of absorbing or squeezing. It is
/// plain memory owned by the caller: it holds no resources and may be copied
/// (a copy continues independently) or dropped at any time. It must be set up
/// by a successful SpongeInitialize before any other use.
struct alignas(state_alignment) SpongeInstance {
  /// The Keccak state.
  unsigned char state[state_size];
  /// The rate in bits: a multiple of 8 from 8 to 1600.
  unsigned int rate;
  /// Absorbing: bytes of the current block XORed in so far (below rate / 8
  /// between calls). Squeezing: bytes of the current output block delivered
  /// (0 to rate / 8; rate / 8 means a permutation is due before the next byte).
  unsigned int byteIOIndex;
  /// 0 while absorbing, 1 once padded and squeezing.
  int squeezing;
  /// Rounds of the permutation, 1 to 24: 24 (Keccak-f[1600]) from
  /// SpongeInitialize, 12 for the TurboSHAKE sponges. It fills what was the
  /// structure's tail padding, so the size and the other offsets are those of
  /// the earlier layout.
  unsigned int nrounds;
};

/// Computes `outputByteLen` bytes of sponge output on Keccak-f[1600] for the
/// `inputByteLen` bytes at `input` followed by the delimited `suffix` (the
/// trailing message bits from the least significant bit up, then a 1 bit that
/// starts the padding: 0x06 for SHA-3, 0x1F for SHAKE, 0x01 for none), and
/// writes them to `output`. The buffers may be null when their length is 0.
/// Returns 0, or 1 with nothing written when the parameters are refused:
/// rate + capacity (as 32-bit unsigned) is not 1600, rate is 0, above 1600 or
/// not a multiple of 8, or `suffix` is 0.
VEXO_API int Sponge(unsigned int rate, unsigned int capacity, const unsigned char* input,
                    std::size_t inputByteLen, unsigned char suffix, unsigned char* output,
                    std::size_t outputByteLen);

/// Resets `instance`, in whatever state it was, to an empty absorbing sponge
/// with the given rate on Keccak-f[1600] (nrounds 24). Returns 0, or 1 with the
/// instance untouched when the parameters are refused (the checks of Sponge
/// without the suffix).
VEXO_API int SpongeInitialize(SpongeInstance* instance, unsigned int rate, unsigned int capacity);

/// Resets `instance` as SpongeInitialize does, for a sponge on
/// Keccak-p[1600, nrounds] (the last nrounds rounds of Keccak-f[1600]; 12 for
/// TurboSHAKE). Returns 0, or 1 with the instance untouched when the rate and
/// capacity are refused or nrounds is not 1 to 24. The other sponge functions
/// then run nrounds rounds per permutation; 12 and 24 take the unrolled
/// permutations, other counts KeccakP1600_Permute_Nrounds.
VEXO_API int SpongeInitialize_Nrounds(SpongeInstance* instance, unsigned int rate,
                                      unsigned int capacity, unsigned int nrounds);

/// Absorbs the `dataByteLen` bytes at `data`, in any split over calls.
/// Returns 0, or 1 with nothing changed when the instance is squeezing (even
/// for 0 bytes).
VEXO_API int SpongeAbsorb(SpongeInstance* instance, const unsigned char* data,
                          std::size_t dataByteLen);

/// Absorbs the delimited suffix `delimitedData` (as for Sponge), pads, and
/// switches the instance to squeezing. Returns 0, or 1 with nothing changed
/// when `delimitedData` is 0 or the instance is already squeezing.
VEXO_API int SpongeAbsorbLastFewBits(SpongeInstance* instance, unsigned char delimitedData);

/// Writes the next `dataByteLen` bytes of output to `data`; on an absorbing
/// instance it first pads with the suffix 0x01. Output split over any number
/// of calls is the same as one call. Always returns 0.
VEXO_API int SpongeSqueeze(SpongeInstance* instance, unsigned char* data, std::size_t dataByteLen);

}  // namespace vexo::keccak
