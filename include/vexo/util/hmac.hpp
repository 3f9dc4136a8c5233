/// \file
/// HMAC on SHA3-224, SHA3-256, SHA3-384 and SHA3-512 (FIPS 198-1), and a
/// comparison of tags whose time does not depend on their contents.
///
/// Keys of any length are accepted (0 included): a key longer than the hash's
/// block (its rate: 144, 136, 104 or 72 bytes) is hashed first, as FIPS 198-1
/// says. The one-shot functions keep no state, hold on to no span after they
/// return, and may be called from any number of threads at once. They cannot
/// fail and return nothing.
///
/// Example:
/// \code
///   std::array<unsigned char, 32> tag;
///   vexo::hmac_sha3_256(key, std::string_view("message"), tag);
///   if (!vexo::constant_time_equal(tag, received_tag)) reject();
/// \endcode
#pragma once

#include <array>
#include <cstddef>

#include "tamu/span.hpp"
#include "vexo/util/bytes.hpp"
#include "vexo/util/export.hpp"
#include "vexo/util/keccak.hpp"

namespace vexo {

/// Writes HMAC-SHA3-224(key, input) to `output`.
VEXO_API void hmac_sha3_224(tamu::span<const unsigned char> key,
                            tamu::span<const unsigned char> input,
                            tamu::span<unsigned char, 28> output);
/// Writes HMAC-SHA3-256(key, input) to `output`.
VEXO_API void hmac_sha3_256(tamu::span<const unsigned char> key,
                            tamu::span<const unsigned char> input,
                            tamu::span<unsigned char, 32> output);
/// Writes HMAC-SHA3-384(key, input) to `output`.
VEXO_API void hmac_sha3_384(tamu::span<const unsigned char> key,
                            tamu::span<const unsigned char> input,
                            tamu::span<unsigned char, 48> output);
/// Writes HMAC-SHA3-512(key, input) to `output`.
VEXO_API void hmac_sha3_512(tamu::span<const unsigned char> key,
                            tamu::span<const unsigned char> input,
                            tamu::span<unsigned char, 64> output);

/// The one-shot functions with any contiguous bytes as the input and the key
/// (see ByteInput and ByteView in bytes.hpp).
template <ByteInput T>
void hmac_sha3_224(ByteView key, const T& input, tamu::span<unsigned char, 28> output) {
  hmac_sha3_224(tamu::span<const unsigned char>(key), byte_view(input), output);
}
/// hmac_sha3_256() with any contiguous bytes or chars as `input`.
template <ByteInput T>
void hmac_sha3_256(ByteView key, const T& input, tamu::span<unsigned char, 32> output) {
  hmac_sha3_256(tamu::span<const unsigned char>(key), byte_view(input), output);
}
/// hmac_sha3_384() with any contiguous bytes or chars as `input`.
template <ByteInput T>
void hmac_sha3_384(ByteView key, const T& input, tamu::span<unsigned char, 48> output) {
  hmac_sha3_384(tamu::span<const unsigned char>(key), byte_view(input), output);
}
/// hmac_sha3_512() with any contiguous bytes or chars as `input`.
template <ByteInput T>
void hmac_sha3_512(ByteView key, const T& input, tamu::span<unsigned char, 64> output) {
  hmac_sha3_512(tamu::span<const unsigned char>(key), byte_view(input), output);
}

/// Returns true when `a` and `b` hold the same bytes. Returns false at once
/// for different lengths (a length is not secret); otherwise reads every byte
/// of both, with no branch or memory access that depends on their contents,
/// so that the time does not tell where they differ. Use it to check a MAC.
VEXO_API bool constant_time_equal(tamu::span<const unsigned char> a,
                                  tamu::span<const unsigned char> b) noexcept;

namespace detail {

/// The two sponges of HMAC on a SHA-3 function, keyed. Behind the HmacSha3_*
/// classes; use those.
class HmacStream {
 public:
  /// `rate` is that of SHA3-224/256/384/512 in bits, `digest_size` its
  /// digest's bytes.
  VEXO_API HmacStream(unsigned int rate, std::size_t digest_size,
                      tamu::span<const unsigned char> key) noexcept;
  /// Absorbs `data`.
  VEXO_API void update(tamu::span<const unsigned char> data) noexcept;
  /// Writes the tag of all input so far to `output` (digest_size bytes); the
  /// object is unchanged.
  VEXO_API void finalize(unsigned char* output) const noexcept;
  /// Forgets all input; the key stays.
  VEXO_API void reset() noexcept;

 private:
  /// The inner sponge after (K0 xor ipad), before any input: where reset()
  /// returns.
  keccak::SpongeInstance inner_start_;
  /// The inner sponge with all input so far.
  keccak::SpongeInstance inner_;
  /// The outer sponge after (K0 xor opad).
  keccak::SpongeInstance outer_;
  std::size_t digest_size_;
};

/// HMAC-SHA3 as a streaming object of digest size Size.
template <unsigned int Rate, std::size_t Size>
class HmacSha3 {
 public:
  /// Length of the tag in bytes.
  static constexpr std::size_t digest_size = Size;

  /// Keys the object with `key` (any length), which it does not keep.
  explicit HmacSha3(tamu::span<const unsigned char> key) noexcept : stream_(Rate, Size, key) {}
  template <ByteInput T>
  explicit HmacSha3(const T& key) noexcept : stream_(Rate, Size, byte_view(key)) {}

  /// Absorbs `data` (may be empty).
  void update(tamu::span<const unsigned char> data) noexcept { stream_.update(data); }
  template <ByteInput T>
  void update(const T& data) noexcept {
    stream_.update(byte_view(data));
  }
  /// Writes the tag of all input so far to `output`; the object is
  /// unchanged, so more input may follow.
  void finalize(tamu::span<unsigned char, Size> output) const noexcept {
    stream_.finalize(output.data());
  }
  /// Returns the tag of all input so far.
  [[nodiscard]] std::array<unsigned char, Size> finalize() const noexcept {
    std::array<unsigned char, Size> tag;
    stream_.finalize(tag.data());
    return tag;
  }
  /// Forgets all input; the key stays.
  void reset() noexcept { stream_.reset(); }

 private:
  HmacStream stream_;
};

}  // namespace detail

/// HMAC-SHA3-224, -256, -384 and -512 as streaming objects (see "Streaming
/// objects" in sha3.hpp): finalize() gives hmac_sha3_256(key, all input)
/// etc. Plain values of about 660 bytes; they never allocate. The key's
/// bytes are not kept, only the two keyed sponges.
class HmacSha3_224 final : private detail::HmacSha3<1152, 28> {
 public:
  using HmacSha3::digest_size;
  using HmacSha3::finalize;
  using HmacSha3::HmacSha3;
  using HmacSha3::reset;
  using HmacSha3::update;
};
class HmacSha3_256 final : private detail::HmacSha3<1088, 32> {
 public:
  using HmacSha3::digest_size;
  using HmacSha3::finalize;
  using HmacSha3::HmacSha3;
  using HmacSha3::reset;
  using HmacSha3::update;
};
class HmacSha3_384 final : private detail::HmacSha3<832, 48> {
 public:
  using HmacSha3::digest_size;
  using HmacSha3::finalize;
  using HmacSha3::HmacSha3;
  using HmacSha3::reset;
  using HmacSha3::update;
};
class HmacSha3_512 final : private detail::HmacSha3<576, 64> {
 public:
  using HmacSha3::digest_size;
  using HmacSha3::finalize;
  using HmacSha3::HmacSha3;
  using HmacSha3::reset;
  using HmacSha3::update;
};

}  // namespace vexo
