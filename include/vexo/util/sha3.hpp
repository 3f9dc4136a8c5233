/// \file
/// SHA-3 hash functions and SHAKE extendable-output functions (FIPS 202).
///
/// Every function hashes a whole input in one call and returns the raw bytes
/// of FIPS 202, with no text encoding (to_hex() below gives text). None keeps
/// state between calls, allocates, or holds on to its spans after it returns;
/// all may be called from any number of threads at once. An empty input is
/// fine, and the input and output spans may be empty (their data() may then
/// be null). Every function and every update() also takes any contiguous
/// bytes or chars, such as std::string_view or std::vector (see bytes.hpp).
///
/// Names and results, for this header and the other hashing headers
/// (k12.hpp, cshake.hpp, hmac.hpp, Hasher.hpp):
/// - Functions are snake_case and name the algorithm, then its strength or
///   digest size: sha3_256, shake_128, kmac_xof_256, hmac_sha3_512.
/// - A streaming class is the UpperCamel form of its function's name, with
///   the strength joined on (Shake128, Kmac256, ParallelHash128), except
///   where two numbers would meet, which an underscore keeps apart
///   (Sha3_256, HmacSha3_512).
/// - Streaming classes are final: their detail:: machinery is a private base
///   or member, so one algorithm's object can never be sliced into, or
///   assigned from, another's.
/// - Every byte parameter (input, key, function name, customization string)
///   takes the same forms: a span of unsigned char, any contiguous bytes or
///   chars (std::string, std::vector, ...; see ByteInput and ByteView in
///   bytes.hpp), or `{}` for none.
///
/// Results: the one rule for every hashing function and object of these
/// headers, and for all that is added to them.
/// - A call that cannot fail returns void, or its result by value (a digest
///   array, an XofReader). Hashing never fails: a tree hash on a pool that
///   cannot get its memory hashes on the calling thread instead.
/// - A bad argument or a call out of order throws vexo::Error, whose message
///   names what was wrong and, where there is one, the value: "Invalid
///   TurboSHAKE domain byte: 0x80", "Invalid ParallelHash block size: 0",
///   "Invalid output length for SHA3-256: 31 bytes, expected 32", "Cannot
///   absorb after squeezing; call reset() first". Nothing is written then.
/// - std::bad_alloc only where a declaration says that it allocates (KT's
///   buffer, Hasher's state), with the object unchanged.
/// - The exception, kept as FIPS 202 and RFC 9861's interfaces fixed it in
///   2.0: shake_128/256, the span forms of sha3_224..512 and keccak_256,
///   turboshake_128/256 and kt_128/256 return bool: true, and false (output
///   untouched) only where their sponge refuses an argument, which is a
///   TurboSHAKE domain byte outside 0x01..0x7F.
/// - Below these headers, keccak.hpp's sponge functions return status codes
///   (0, or 1 for refused parameters) to those who call that layer; the
///   functions and objects here never pass them on.
///
/// Example:
/// \code
///   const auto digest = vexo::sha3_256(std::string_view("abc"));
///   // digest[0] == 0x3a, digest[31] == 0x32
///   std::string text = vexo::to_hex(digest);  // "3a985da7..."
/// \endcode
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "tamu/span.hpp"
#include "vexo/util/bytes.hpp"
#include "vexo/util/exceptions.hpp"
#include "vexo/util/export.hpp"
#include "vexo/util/hash_algorithms.hpp"
#include "vexo/util/keccak.hpp"

namespace vexo {

/// Fills all of `output` (any length, 0 included) with the SHAKE128 output for
/// `input`; a longer request starts with the bytes of a shorter one. Returns
/// true; false (with `output` untouched) would mean the underlying sponge
/// refused its parameters, which it does not for these.
VEXO_API bool shake_128(tamu::span<const unsigned char> input, tamu::span<unsigned char> output);

/// Fills all of `output` with the SHAKE256 output for `input`, as shake_128.
VEXO_API bool shake_256(tamu::span<const unsigned char> input, tamu::span<unsigned char> output);

/// Writes the 28-byte SHA3-224 digest of `input` to `output` and returns true
/// (false, with `output` untouched, only if the sponge refused its parameters).
VEXO_API bool sha3_224(tamu::span<const unsigned char> input, tamu::span<unsigned char, 28> output);

/// Returns the SHA3-224 digest of `input`. Throws vexo::Error("Unable to
/// calculate SHA3 hash") if the span form reports failure.
VEXO_API std::array<unsigned char, 28> sha3_224(tamu::span<const unsigned char> input);

/// Writes the 32-byte SHA3-256 digest of `input` to `output` and returns true
/// (false, with `output` untouched, only if the sponge refused its parameters).
VEXO_API bool sha3_256(tamu::span<const unsigned char> input, tamu::span<unsigned char, 32> output);

/// Returns the SHA3-256 digest of `input`. Throws vexo::Error("Unable to
/// calculate SHA3 hash") if the span form reports failure.
VEXO_API std::array<unsigned char, 32> sha3_256(tamu::span<const unsigned char> input);

/// Writes the 48-byte SHA3-384 digest of `input` to `output` and returns true
/// (false, with `output` untouched, only if the sponge refused its parameters).
VEXO_API bool sha3_384(tamu::span<const unsigned char> input, tamu::span<unsigned char, 48> output);

/// Returns the SHA3-384 digest of `input`. Throws vexo::Error("Unable to
/// calculate SHA3 hash") if the span form reports failure.
VEXO_API std::array<unsigned char, 48> sha3_384(tamu::span<const unsigned char> input);

/// Writes the 64-byte SHA3-512 digest of `input` to `output` and returns true
/// (false, with `output` untouched, only if the sponge refused its parameters).
VEXO_API bool sha3_512(tamu::span<const unsigned char> input, tamu::span<unsigned char, 64> output);

/// Returns the SHA3-512 digest of `input`. Throws vexo::Error("Unable to
/// calculate SHA3 hash") if the span form reports failure.
VEXO_API std::array<unsigned char, 64> sha3_512(tamu::span<const unsigned char> input);

/// Writes the 32-byte Keccak-256 digest of `input` to `output`: the sponge of
/// SHA3-256 with the original Keccak padding (suffix 0x01, no SHA-3 domain
/// bits), as Ethereum uses it. Its digests differ from SHA3-256's. Returns true
/// (false, with `output` untouched, only if the sponge refused its parameters).
VEXO_API bool keccak_256(tamu::span<const unsigned char> input,
                         tamu::span<unsigned char, 32> output);

/// Returns the Keccak-256 digest of `input`. Throws vexo::Error("Unable to
/// calculate SHA3 hash") if the span form reports failure.
VEXO_API std::array<unsigned char, 32> keccak_256(tamu::span<const unsigned char> input);

/// The functions above with any contiguous bytes as the input (bytes.hpp):
/// std::string, std::string_view, std::vector, std::array, spans of std::byte
/// or char. They return what the span forms return.
template <ByteInput T>
bool shake_128(const T& input, tamu::span<unsigned char> output) {
  return shake_128(byte_view(input), output);
}
/// shake_256() with any contiguous bytes or chars as `input`.
template <ByteInput T>
bool shake_256(const T& input, tamu::span<unsigned char> output) {
  return shake_256(byte_view(input), output);
}
/// sha3_224() with any contiguous bytes or chars as `input`.
template <ByteInput T>
bool sha3_224(const T& input, tamu::span<unsigned char, 28> output) {
  return sha3_224(byte_view(input), output);
}
/// sha3_224(input) returning the digest, with any contiguous bytes or chars as `input`.
template <ByteInput T>
std::array<unsigned char, 28> sha3_224(const T& input) {
  return sha3_224(byte_view(input));
}
/// sha3_256() with any contiguous bytes or chars as `input`.
template <ByteInput T>
bool sha3_256(const T& input, tamu::span<unsigned char, 32> output) {
  return sha3_256(byte_view(input), output);
}
/// sha3_256(input) returning the digest, with any contiguous bytes or chars as `input`.
template <ByteInput T>
std::array<unsigned char, 32> sha3_256(const T& input) {
  return sha3_256(byte_view(input));
}
/// sha3_384() with any contiguous bytes or chars as `input`.
template <ByteInput T>
bool sha3_384(const T& input, tamu::span<unsigned char, 48> output) {
  return sha3_384(byte_view(input), output);
}
/// sha3_384(input) returning the digest, with any contiguous bytes or chars as `input`.
template <ByteInput T>
std::array<unsigned char, 48> sha3_384(const T& input) {
  return sha3_384(byte_view(input));
}
/// sha3_512() with any contiguous bytes or chars as `input`.
template <ByteInput T>
bool sha3_512(const T& input, tamu::span<unsigned char, 64> output) {
  return sha3_512(byte_view(input), output);
}
/// sha3_512(input) returning the digest, with any contiguous bytes or chars as `input`.
template <ByteInput T>
std::array<unsigned char, 64> sha3_512(const T& input) {
  return sha3_512(byte_view(input));
}
/// keccak_256() with any contiguous bytes or chars as `input`.
template <ByteInput T>
bool keccak_256(const T& input, tamu::span<unsigned char, 32> output) {
  return keccak_256(byte_view(input), output);
}
/// keccak_256(input) returning the digest, with any contiguous bytes or chars as `input`.
template <ByteInput T>
std::array<unsigned char, 32> keccak_256(const T& input) {
  return keccak_256(byte_view(input));
}

/// Returns `bytes` as lowercase hexadecimal text, two digits per byte ("" for
/// no bytes). The caller owns the result. Throws std::bad_alloc only.
VEXO_API std::string to_hex(tamu::span<const unsigned char> bytes);

// ----------------------------------------------------------------------------
// Streaming objects
// ----------------------------------------------------------------------------
//
// Each function above (and TurboSHAKE and KT in k12.hpp) also comes as an
// object that takes its input over any number of update() calls and gives the
// same bytes as the one-shot function on the concatenation. The objects
// (except KT's) are plain values of about 220 bytes: they never allocate, a
// copy made mid-stream continues independently of the original, reset()
// starts over, and finalize() is const, so that more input may follow it and
// a later finalize() covers everything. One object must not be used from two
// threads at once without outside locking; different objects are
// independent.
//
// Example:
//   vexo::Sha3_256 hasher;
//   hasher.update(first_part);
//   hasher.update(second_part);
//   const std::array<unsigned char, 32> digest = hasher.finalize();

/// XofReader squeezes the output of a finished extendable-output function
/// (SHAKE, TurboSHAKE, KT): read() returns the next bytes of one endless
/// output stream, so any split of reads gives the bytes of one long read. It
/// is a plain value (a copy reads on independently) and never allocates.
class XofReader {
 public:
  /// Wraps a padded sponge (SpongeAbsorbLastFewBits done); the streaming
  /// objects make these. Reading from any other sponge gives that sponge's
  /// output from its current position.
  explicit XofReader(const keccak::SpongeInstance& sponge) noexcept : sponge_(sponge) {}

  /// Fills all of `output` (any length, 0 included) with the next bytes.
  VEXO_API void read(tamu::span<unsigned char> output) noexcept;

 private:
  keccak::SpongeInstance sponge_;
};

namespace detail {

/// The absorbing sponge behind the streaming objects: a rate in bits, a round
/// count and the delimited suffix that finalize() pads with. The parameters
/// come from the classes below, which the library has checked; the
/// constructor throws vexo::Error("Unable to calculate SHA3 hash") if the
/// sponge refuses them.
class SpongeStream {
 public:
  VEXO_API SpongeStream(unsigned int rate, unsigned int nrounds, unsigned char suffix);

  /// Absorbs `data`; no allocation, no copy beyond the sponge's own block.
  VEXO_API void update(tamu::span<const unsigned char> data) noexcept;
  /// Pads a copy of the sponge and returns a reader of its output; the object
  /// itself is unchanged.
  [[nodiscard]] VEXO_API XofReader finalize() const noexcept;
  /// Forgets all input.
  VEXO_API void reset() noexcept;

 private:
  keccak::SpongeInstance sponge_;
  unsigned char suffix_;
};

/// A fixed-length digest (SHA-3, Keccak-256) as a streaming object.
template <const HashAlgorithm& A>
class SpongeDigest {
  static constexpr std::size_t Size = A.output;

 public:
  /// Length of the digest in bytes.
  static constexpr std::size_t digest_size = Size;

  SpongeDigest() : stream_(A.rate, A.rounds, A.suffix) {}

  /// Absorbs `data` (may be empty).
  void update(tamu::span<const unsigned char> data) noexcept { stream_.update(data); }
  template <ByteInput T>
  void update(const T& data) noexcept {
    stream_.update(byte_view(data));
  }
  /// Writes the digest of all input so far to `output`; the object is unchanged.
  void finalize(tamu::span<unsigned char, Size> output) const noexcept {
    stream_.finalize().read(output);
  }
  /// Returns the digest of all input so far; the object is unchanged.
  [[nodiscard]] std::array<unsigned char, Size> finalize() const noexcept {
    std::array<unsigned char, Size> digest;
    stream_.finalize().read(digest);
    return digest;
  }
  /// Forgets all input.
  void reset() noexcept { stream_.reset(); }

 private:
  SpongeStream stream_;
};

/// An extendable-output function (SHAKE, TurboSHAKE) as a streaming object,
/// on the sponge of the given rate (bits) and round count.
template <unsigned int Rate, unsigned int Rounds>
class SpongeXof {
 public:
  /// Absorbs `data` (may be empty).
  void update(tamu::span<const unsigned char> data) noexcept { stream_.update(data); }
  template <ByteInput T>
  void update(const T& data) noexcept {
    stream_.update(byte_view(data));
  }
  /// Returns a reader of the output for all input so far; the object is
  /// unchanged.
  [[nodiscard]] XofReader finalize_xof() const noexcept { return stream_.finalize(); }
  /// finalize_xof() under its 2.0 name. Deprecated: every other finalize
  /// fills a span or returns a fixed-length digest.
  [[deprecated("use finalize_xof()")]] [[nodiscard]] XofReader finalize() const noexcept {
    return stream_.finalize();
  }
  /// Fills all of `output` with the first bytes of the output for all input
  /// so far.
  void finalize(tamu::span<unsigned char> output) const noexcept {
    stream_.finalize().read(output);
  }
  /// Forgets all input (the domain byte stays).
  void reset() noexcept { stream_.reset(); }

 protected:
  explicit SpongeXof(unsigned char suffix) : stream_(Rate, Rounds, suffix) {}

 private:
  SpongeStream stream_;
};

}  // namespace detail

/// \cond
// The public members of the digest classes below; undefined after them, and
// kept out of the reference.
#define VEXO_SPONGE_DIGEST_MEMBERS(Base) \
 public:                                 \
  using Base::digest_size;               \
  using Base::update;                    \
  using Base::finalize;                  \
  using Base::reset;
/// \endcond
/// SHA3-224, SHA3-256, SHA3-384 and SHA3-512 as streaming objects: finalize()
/// gives the digest of sha3_224() etc. on all input so far.
class Sha3_224 final : private detail::SpongeDigest<detail::kSha3_224> {
  VEXO_SPONGE_DIGEST_MEMBERS(SpongeDigest)
};
/// See Sha3_224.
class Sha3_256 final : private detail::SpongeDigest<detail::kSha3_256> {
  VEXO_SPONGE_DIGEST_MEMBERS(SpongeDigest)
};
/// See Sha3_224.
class Sha3_384 final : private detail::SpongeDigest<detail::kSha3_384> {
  VEXO_SPONGE_DIGEST_MEMBERS(SpongeDigest)
};
/// See Sha3_224.
class Sha3_512 final : private detail::SpongeDigest<detail::kSha3_512> {
  VEXO_SPONGE_DIGEST_MEMBERS(SpongeDigest)
};

/// Keccak-256 (the original padding, as keccak_256()) as a streaming object.
class Keccak256 final : private detail::SpongeDigest<detail::kKeccak256> {
  VEXO_SPONGE_DIGEST_MEMBERS(SpongeDigest)
};
#undef VEXO_SPONGE_DIGEST_MEMBERS

/// SHAKE128 and SHAKE256 as streaming objects: finalize(output) fills
/// `output` and finalize_xof() returns a reader, with the bytes of
/// shake_128() / shake_256() on all input so far.
///
/// Example:
/// \code
///   vexo::Shake128 xof;
///   xof.update(data);
///   vexo::XofReader reader = xof.finalize_xof();
///   reader.read(first_16_bytes);
///   reader.read(next_1000_bytes);
/// \endcode
class Shake128 final : private detail::SpongeXof<detail::kShake128.rate, detail::kShake128.rounds> {
 public:
  /// Starts an empty SHAKE128 sponge.
  Shake128() : SpongeXof(detail::kShake128.suffix) {}
  using SpongeXof::finalize;
  using SpongeXof::finalize_xof;
  using SpongeXof::reset;
  using SpongeXof::update;
};
/// See Shake128.
class Shake256 final : private detail::SpongeXof<detail::kShake256.rate, detail::kShake256.rounds> {
 public:
  /// Starts an empty SHAKE256 sponge.
  Shake256() : SpongeXof(detail::kShake256.suffix) {}
  using SpongeXof::finalize;
  using SpongeXof::finalize_xof;
  using SpongeXof::reset;
  using SpongeXof::update;
};

// ----------------------------------------------------------------------------
// Four sponges at once
// ----------------------------------------------------------------------------
//
// Four independent SHAKE streams computed together on the four-state
// permutation (keccak.hpp): what post-quantum schemes need when they expand
// a matrix from a seed (four SHAKE128 or SHAKE256 streams at a time in
// FIPS 203 and FIPS 204). Lane j's bytes are exactly those of the one-lane
// function on lane j's input. On x86-64 CPUs with AVX2 or AVX-512VL the four
// permutations run in one pass; elsewhere one after another, no slower than
// four one-lane calls. Inputs and outputs may have any lengths, different
// from lane to lane: lanes that need fewer blocks wait while the others go on.

namespace detail {

/// The engine of the four-lane objects and functions: four sponges of one
/// rate, round count (12 or 24) and delimited suffix, on interleaved states.
/// Plain memory (about 830 bytes), no allocation; copies continue
/// independently.
class SpongeX4 {
 public:
  /// Four inputs, one per lane.
  using Inputs = std::array<tamu::span<const unsigned char>, 4>;
  /// Four outputs, one per lane.
  using Outputs = std::array<tamu::span<unsigned char>, 4>;

  /// Four empty sponges; the parameters are the library's own, not checked.
  VEXO_API SpongeX4(unsigned int rate, unsigned int rounds, unsigned char suffix) noexcept;
  /// Absorbs inputs[j] into sponge j. Throws vexo::Error("Cannot absorb after
  /// squeezing; call reset() first") once squeeze() has been called.
  VEXO_API void absorb(const Inputs& inputs);
  /// Pads the sponges at the first call, then fills outputs[j] with the next
  /// bytes of sponge j.
  VEXO_API void squeeze(const Outputs& outputs) noexcept;
  /// Empties the four sponges.
  VEXO_API void reset() noexcept;

 private:
  void permute_all() noexcept;
  void pad() noexcept;

  /// Lane i of sponge j is word 4 * i + j (keccak.hpp's interleaved layout).
  alignas(32) std::uint64_t lanes_[100];
  /// Per sponge: bytes of the current block absorbed, or given out once
  /// squeezing (0 to block_; block_ means a permutation is due).
  std::uint16_t pos_[4];
  /// The rate in bytes.
  std::uint16_t block_;
  /// 0 for Keccak-f[1600], 12 for Keccak-p[1600, 12].
  std::uint8_t first_round_;
  std::uint8_t suffix_;
  bool squeezing_ = false;
};

}  // namespace detail

/// Fills outputs[j] (any length) with shake_128(inputs[j]), for the four lanes
/// j at once. Never fails; no allocation. Each span may be empty; an output
/// must not overlap an input or another output.
VEXO_API void shake_128_x4(const std::array<tamu::span<const unsigned char>, 4>& inputs,
                           const std::array<tamu::span<unsigned char>, 4>& outputs);

/// Fills outputs[j] with shake_256(inputs[j]), as shake_128_x4.
VEXO_API void shake_256_x4(const std::array<tamu::span<const unsigned char>, 4>& inputs,
                           const std::array<tamu::span<unsigned char>, 4>& outputs);

namespace detail {

/// The members of the four-lane streaming classes, on a SpongeX4 of the
/// class's rate and round count.
template <const HashAlgorithm& A>
class SpongeX4Object {
 public:
  /// Absorbs inputs[j] into lane j (the spans may differ in length, or be
  /// empty). Throws vexo::Error("Cannot absorb after squeezing; call reset()
  /// first") after the first squeeze().
  void absorb(const SpongeX4::Inputs& inputs) { sponge_.absorb(inputs); }
  /// Fills outputs[j] with the next bytes of lane j's output.
  void squeeze(const SpongeX4::Outputs& outputs) noexcept { sponge_.squeeze(outputs); }
  /// Forgets all input and output: four empty sponges again (a TurboSHAKE
  /// object keeps its domain byte).
  void reset() noexcept { sponge_.reset(); }

 protected:
  explicit SpongeX4Object(unsigned char suffix = A.suffix) noexcept
      : sponge_(A.rate, A.rounds, suffix) {}

 private:
  SpongeX4 sponge_;
};

}  // namespace detail

/// Four SHAKE128 streams as one streaming object: absorb() any number of
/// times, then squeeze() any number of times; lane j's bytes are those of
/// Shake128 fed lane j's inputs. absorb() takes the array type of
/// shake_128_x4's inputs, squeeze() that of its outputs. A plain value (a
/// copy continues independently), no allocation; one object must not be used
/// from two threads at once.
///
/// Example (a rejection sampler reading three blocks per lane, then more):
/// \code
///   vexo::Shake128x4 xof;
///   xof.absorb({seed0, seed1, seed2, seed3});
///   std::array<std::array<unsigned char, 504>, 4> blocks;
///   xof.squeeze({blocks[0], blocks[1], blocks[2], blocks[3]});
///   xof.squeeze({more0, more1, more2, more3});  // the next bytes of each lane
/// \endcode
class Shake128x4 final : private detail::SpongeX4Object<detail::kShake128> {
 public:
  /// Starts four empty SHAKE128 sponges.
  Shake128x4() noexcept = default;
  using SpongeX4Object::absorb;
  using SpongeX4Object::reset;
  using SpongeX4Object::squeeze;
};

/// Four SHAKE256 streams as one streaming object, as Shake128x4.
class Shake256x4 final : private detail::SpongeX4Object<detail::kShake256> {
 public:
  /// Starts four empty SHAKE256 sponges.
  Shake256x4() noexcept = default;
  using SpongeX4Object::absorb;
  using SpongeX4Object::reset;
  using SpongeX4Object::squeeze;
};

}  // namespace vexo
