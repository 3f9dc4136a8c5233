// SHA-3 hash functions and SHAKE extendable-output functions (FIPS 202).
//
// Every function hashes a whole input in one call and returns the raw bytes
// of FIPS 202, with no text encoding. None keeps state between calls,
// allocates, or holds on to its spans after it returns; all may be called from
// any number of threads at once. An empty input is fine, and the input and
// output spans may be empty (their data() may then be null).
//
// Example:
//   const std::string text = "abc";
//   const auto digest = vexo::sha3_256(tamu::span<const unsigned char>(
//       reinterpret_cast<const unsigned char*>(text.data()), text.size()));
//   // digest[0] == 0x3a, digest[31] == 0x32
#pragma once

#include <array>

#include "tamu/span.hpp"
#include "vexo/util/exceptions.hpp"
#include "vexo/util/export.hpp"

namespace vexo {

// Fills all of `output` (any length, 0 included) with the SHAKE128 output for
// `input`; a longer request starts with the bytes of a shorter one. Returns
// true; false (with `output` untouched) would mean the underlying sponge
// refused its parameters, which it does not for these.
VEXO_API bool shake_128(tamu::span<const unsigned char> input, tamu::span<unsigned char> output);

// Fills all of `output` with the SHAKE256 output for `input`, as shake_128.
VEXO_API bool shake_256(tamu::span<const unsigned char> input, tamu::span<unsigned char> output);

// Writes the 28-byte SHA3-224 digest of `input` to `output` and returns true
// (false, with `output` untouched, only if the sponge refused its parameters).
VEXO_API bool sha3_224(tamu::span<const unsigned char> input, tamu::span<unsigned char, 28> output);

// Returns the SHA3-224 digest of `input`. Throws vexo::Error("Unable to
// calculate SHA3 hash") if the span form reports failure.
VEXO_API std::array<unsigned char, 28> sha3_224(tamu::span<const unsigned char> input);

// Writes the 32-byte SHA3-256 digest of `input` to `output` and returns true
// (false, with `output` untouched, only if the sponge refused its parameters).
VEXO_API bool sha3_256(tamu::span<const unsigned char> input, tamu::span<unsigned char, 32> output);

// Returns the SHA3-256 digest of `input`. Throws vexo::Error("Unable to
// calculate SHA3 hash") if the span form reports failure.
VEXO_API std::array<unsigned char, 32> sha3_256(tamu::span<const unsigned char> input);

// Writes the 48-byte SHA3-384 digest of `input` to `output` and returns true
// (false, with `output` untouched, only if the sponge refused its parameters).
VEXO_API bool sha3_384(tamu::span<const unsigned char> input, tamu::span<unsigned char, 48> output);

// Returns the SHA3-384 digest of `input`. Throws vexo::Error("Unable to
// calculate SHA3 hash") if the span form reports failure.
VEXO_API std::array<unsigned char, 48> sha3_384(tamu::span<const unsigned char> input);

// Writes the 64-byte SHA3-512 digest of `input` to `output` and returns true
// (false, with `output` untouched, only if the sponge refused its parameters).
VEXO_API bool sha3_512(tamu::span<const unsigned char> input, tamu::span<unsigned char, 64> output);

// Returns the SHA3-512 digest of `input`. Throws vexo::Error("Unable to
// calculate SHA3 hash") if the span form reports failure.
VEXO_API std::array<unsigned char, 64> sha3_512(tamu::span<const unsigned char> input);

}  // namespace vexo
