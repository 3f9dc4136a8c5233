/// \file
/// The parameters of every hash function of the library, in one table that
/// the one-shot functions, the streaming classes, Hasher, the tools and the
/// tests read. Library-internal (namespace vexo::detail); the public names
/// are the functions and classes of sha3.hpp, k12.hpp, cshake.hpp and
/// Hasher.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace vexo::detail {

/// One hash function: its sponge and its usual output.
struct HashAlgorithm {
  /// The name as `sha3sum --tag` prints it and Hasher::by_name() takes it.
  std::string_view name;
  /// The rate in bits (a multiple of 64); the capacity is 1600 - rate.
  unsigned int rate;
  /// Rounds of the permutation: 24 (Keccak-f[1600]) or 12 (RFC 9861).
  unsigned int rounds;
  /// The delimited suffix that pads the (last) sponge: FIPS 202's 0x06 for
  /// SHA-3 and 0x1F for SHAKE, 0x01 for Keccak-256, the default domain byte
  /// 0x1F for TurboSHAKE, KT's single-node byte 0x07, cSHAKE's 0x04.
  unsigned char suffix;
  /// Bytes of output: the digest size, or for the extendable functions the
  /// usual length, twice the security strength.
  std::size_t output;
  /// True when any output length may be asked for.
  bool extendable;

  /// The capacity in bits.
  [[nodiscard]] constexpr unsigned int capacity() const { return 1600 - rate; }
  /// The rate in bytes: the block that the sponge absorbs and squeezes.
  [[nodiscard]] constexpr std::size_t block() const { return rate / 8; }
};

inline constexpr HashAlgorithm kSha3_224{"SHA3-224", 1152, 24, 0x06, 28, false};
inline constexpr HashAlgorithm kSha3_256{"SHA3-256", 1088, 24, 0x06, 32, false};
inline constexpr HashAlgorithm kSha3_384{"SHA3-384", 832, 24, 0x06, 48, false};
inline constexpr HashAlgorithm kSha3_512{"SHA3-512", 576, 24, 0x06, 64, false};
inline constexpr HashAlgorithm kShake128{"SHAKE128", 1344, 24, 0x1F, 32, true};
inline constexpr HashAlgorithm kShake256{"SHAKE256", 1088, 24, 0x1F, 64, true};
inline constexpr HashAlgorithm kTurboShake128{"TurboSHAKE128", 1344, 12, 0x1F, 32, true};
inline constexpr HashAlgorithm kTurboShake256{"TurboSHAKE256", 1088, 12, 0x1F, 64, true};
inline constexpr HashAlgorithm kKt128{"KT128", 1344, 12, 0x07, 32, true};
inline constexpr HashAlgorithm kKt256{"KT256", 1088, 12, 0x07, 64, true};
inline constexpr HashAlgorithm kKeccak256{"Keccak-256", 1088, 24, 0x01, 32, false};
inline constexpr HashAlgorithm kParallelHash128{"ParallelHash128", 1344, 24, 0x04, 32, true};
inline constexpr HashAlgorithm kParallelHash256{"ParallelHash256", 1088, 24, 0x04, 64, true};

/// Every function that Hasher::by_name() knows, in the order of
/// Hasher::names().
inline constexpr std::array<const HashAlgorithm*, 13> kHashAlgorithms = {
    &kSha3_224,  &kSha3_256,        &kSha3_384,       &kSha3_512, &kShake128,
    &kShake256,  &kTurboShake128,   &kTurboShake256,  &kKt128,    &kKt256,
    &kKeccak256, &kParallelHash128, &kParallelHash256};

}  // namespace vexo::detail
