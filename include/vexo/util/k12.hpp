/// \file
/// TurboSHAKE128/256 and the KangarooTwelve tree hashes KT128/KT256 (RFC 9861).
///
/// TurboSHAKE is SHAKE with the permutation cut to its last 12 rounds and a
/// domain byte D (0x01 to 0x7F) in place of SHAKE's suffix; RFC 9861 suggests
/// D = 0x1F where an application has no domains of its own. KT cuts its input
/// S = message || customization || length_encode(|customization|) into 8 KiB
/// chunks; each chunk after the first is hashed on its own (four at a time on
/// interleaved states, and on the workers of a ThreadPool when one is given),
/// and a final TurboSHAKE call hashes the first chunk with the chunks' chaining
/// values. Every function gives the bytes of RFC 9861 whatever the pool.
///
/// The one-shot functions keep no state, hold on to no span after they
/// return, and may be called from any number of threads at once, with or
/// without the same pool. Empty spans (with null data()) are fine.
///
/// Example:
/// \code
///   std::array<unsigned char, 32> digest;
///   vexo::kt_128(data, {}, digest);           // one thread
///   vexo::kt_128(data, {}, digest, &pool);    // the pool's workers help
/// \endcode
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "tamu/span.hpp"
#include "vexo/util/export.hpp"
#include "vexo/util/keccak.hpp"
#include "vexo/util/sha3.hpp"

namespace vexo::util {
class ThreadPool;
}  // namespace vexo::util

namespace vexo {

/// Fills all of `output` (any length) with TurboSHAKE128(input, domain) and
/// returns true. Returns false with `output` untouched when `domain` is not in
/// 0x01..0x7F. A longer output starts with the bytes of a shorter one.
VEXO_API bool turboshake_128(tamu::span<const unsigned char> input, unsigned char domain,
                             tamu::span<unsigned char> output);

/// Fills all of `output` with TurboSHAKE256(input, domain), as turboshake_128.
VEXO_API bool turboshake_256(tamu::span<const unsigned char> input, unsigned char domain,
                             tamu::span<unsigned char> output);

/// Fills all of `output` (any length) with KT128(input, customization) and
/// returns true (there is no failure; the bool matches the other functions).
///
/// With a `pool`, the chunks are hashed by the calling thread and by tasks on
/// the pool's workers, which take groups of four chunks from a shared counter;
/// the calling thread never waits for a task that has not started (it takes
/// that work itself and removes the task, and a task removed by anyone else,
/// e.g. by remove_pending_tasks(), counts as done too), so a call from a task
/// of the same pool, with a full, busy or shared pool, still finishes.
/// The pool must outlive the call. Inputs shorter than 72 KiB (the first chunk
/// and 8 more) are hashed on the calling thread alone.
///
/// Memory: no allocation without a pool; with one, one buffer of chaining
/// values of at most 32 KiB (KT128) or 64 KiB (KT256), plus one task (a
/// std::function and a small shared record) per helper, per 8 MiB of input.
/// If that allocation fails, the call hashes on the calling thread instead.
VEXO_API bool kt_128(tamu::span<const unsigned char> input,
                     tamu::span<const unsigned char> customization,
                     tamu::span<unsigned char> output, vexo::util::ThreadPool* pool = nullptr);

/// Fills all of `output` with KT256(input, customization), as kt_128.
VEXO_API bool kt_256(tamu::span<const unsigned char> input,
                     tamu::span<const unsigned char> customization,
                     tamu::span<unsigned char> output, vexo::util::ThreadPool* pool = nullptr);

/// The functions above with any contiguous bytes as the input (bytes.hpp);
/// they return what the span forms return.
template <ByteInput T>
bool turboshake_128(const T& input, unsigned char domain, tamu::span<unsigned char> output) {
  return turboshake_128(byte_view(input), domain, output);
}
/// turboshake_256() with any contiguous bytes or chars as `input`.
template <ByteInput T>
bool turboshake_256(const T& input, unsigned char domain, tamu::span<unsigned char> output) {
  return turboshake_256(byte_view(input), domain, output);
}
/// kt_128() with any contiguous bytes or chars as `input`.
template <ByteInput T>
bool kt_128(const T& input, ByteView customization, tamu::span<unsigned char> output,
            vexo::util::ThreadPool* pool = nullptr) {
  return kt_128(byte_view(input), tamu::span<const unsigned char>(customization), output, pool);
}
/// kt_256() with any contiguous bytes or chars as `input`.
template <ByteInput T>
bool kt_256(const T& input, ByteView customization, tamu::span<unsigned char> output,
            vexo::util::ThreadPool* pool = nullptr) {
  return kt_256(byte_view(input), tamu::span<const unsigned char>(customization), output, pool);
}

namespace detail {

/// Returns `domain` if it is a TurboSHAKE domain byte (0x01 to 0x7F); throws
/// vexo::Error("Invalid TurboSHAKE domain byte: 0x\<hex\>") otherwise.
VEXO_API unsigned char checked_turboshake_domain(unsigned char domain);

/// KT128 or KT256 as a streaming object (see Kt128 below).
class KtStream {
 public:
  /// `bits` is 128 or 256 (the Kt128 and Kt256 classes pass it).
  VEXO_API KtStream(unsigned int bits, vexo::util::ThreadPool* pool);
  VEXO_API KtStream(const KtStream& other);
  VEXO_API KtStream& operator=(const KtStream& other);
  VEXO_API KtStream(KtStream&& other) noexcept;
  VEXO_API KtStream& operator=(KtStream&& other) noexcept;
  VEXO_API ~KtStream();

  VEXO_API void update(tamu::span<const unsigned char> data);
  [[nodiscard]] VEXO_API XofReader
  finalize(tamu::span<const unsigned char> customization = {}) const noexcept;
  VEXO_API void reset() noexcept;

 private:
  /// Absorbs the first chunk, then the chaining values of the later ones.
  keccak::SpongeInstance final_node_;
  /// Bytes of input taken so far, the buffered ones included.
  std::uint64_t consumed_ = 0;
  /// Chaining values absorbed into final_node_.
  std::uint64_t chunks_ = 0;
  /// Input bytes in buffer_, from a chunk boundary; below four chunks.
  std::size_t buffered_ = 0;
  /// Four chunks (32 KiB), allocated the first time input is left over.
  std::unique_ptr<unsigned char[]> buffer_;
  /// The pool that helps with long updates, or null; not owned.
  vexo::util::ThreadPool* pool_;
  /// 128 or 256.
  unsigned int bits_;
};

}  // namespace detail

/// TurboSHAKE128 and TurboSHAKE256 as streaming objects (see "Streaming
/// objects" in sha3.hpp): finalize_xof() returns a reader of, and
/// finalize(output) fills `output` with, turboshake_128(all input, domain). The constructor throws
/// vexo::Error
/// ("Invalid TurboSHAKE domain byte: 0x80") for a domain byte outside
/// 0x01..0x7F. Plain values, no allocation.
class TurboShake128 final
    : private detail::SpongeXof<detail::kTurboShake128.rate, detail::kTurboShake128.rounds> {
 public:
  /// Starts an empty TurboSHAKE128 sponge with the domain byte `domain`; throws
  /// vexo::Error for one outside 0x01..0x7F, as above.
  explicit TurboShake128(unsigned char domain = 0x1F)
      : SpongeXof(detail::checked_turboshake_domain(domain)) {}
  using SpongeXof::finalize;
  using SpongeXof::finalize_xof;
  using SpongeXof::reset;
  using SpongeXof::update;
};
/// See TurboShake128.
class TurboShake256 final
    : private detail::SpongeXof<detail::kTurboShake256.rate, detail::kTurboShake256.rounds> {
 public:
  /// Starts an empty TurboSHAKE256 sponge with the domain byte `domain`; throws
  /// vexo::Error for one outside 0x01..0x7F, as above.
  explicit TurboShake256(unsigned char domain = 0x1F)
      : SpongeXof(detail::checked_turboshake_domain(domain)) {}
  using SpongeXof::finalize;
  using SpongeXof::finalize_xof;
  using SpongeXof::reset;
  using SpongeXof::update;
};

namespace detail {

/// The members of Kt128 and Kt256 on KtStream.
template <unsigned int Bits>
class KtObject : private KtStream {
 public:
  explicit KtObject(vexo::util::ThreadPool* pool = nullptr) : KtStream(Bits, pool) {}
  using KtStream::reset;
  using KtStream::update;
  /// As update(tamu::span<const unsigned char>): absorbs `data`, any
  /// contiguous bytes or chars.
  template <ByteInput T>
  void update(const T& data) {
    KtStream::update(byte_view(data));
  }
  /// Returns a reader of kt_128(all input, customization), any contiguous
  /// bytes or chars as the customization string.
  [[nodiscard]] XofReader finalize_xof(ByteView customization = {}) const noexcept {
    return KtStream::finalize(customization);
  }
  /// finalize_xof(customization) under its 2.0 name. Deprecated: every other
  /// finalize fills a span or returns a fixed-length digest, and here the
  /// span is the customization string.
  [[deprecated("use finalize_xof(customization)")]] [[nodiscard]] XofReader finalize(
      tamu::span<const unsigned char> customization = {}) const noexcept {
    return KtStream::finalize(customization);
  }
  /// finalize(tamu::span<const unsigned char>) with any contiguous bytes or
  /// chars as the customization string. Deprecated as that one.
  template <ByteInput T>
  [[deprecated("use finalize_xof(customization)")]] [[nodiscard]] XofReader finalize(
      const T& customization) const noexcept {
    return KtStream::finalize(byte_view(customization));
  }
};

}  // namespace detail

/// KT128 and KT256 as streaming objects: update() any number of times, then
/// finalize_xof(customization) returns a reader of kt_128(all input,
/// customization). finalize_xof() is const, so the same input may be
/// finished with several customization strings, and more input may follow.
///
/// Memory: the object holds about 260 bytes; the first update that takes
/// input beyond the first 8 KiB allocates a 32 KiB buffer (update() may then
/// throw std::bad_alloc, with the object unchanged), kept until the object is
/// destroyed. Nothing else allocates, except with a pool as for
/// kt_128. Copies (deep, the buffer included) continue independently; a move
/// takes the buffer along and leaves the source as after reset().
///
/// Whole groups of four chunks that arrive in one update are hashed straight
/// from the caller's memory, on the pool if one was given and the run has 8
/// chunks or more (same contract as kt_128; the pool must outlive the object's
/// updates); the rest goes through the buffer, four chunks at a time.
/// finalize_xof() hashes what is buffered on the calling thread.
///
/// The constructor takes an optional pool that helps with long updates (not
/// owned; it must outlive the object's updates) and does not allocate.
///
/// KtStream is a private base: a Kt128 cannot be bound to a KtStream& and
/// then assigned a Kt256, which would switch the algorithm.
/// finalize(customization), the 2.0 name of finalize_xof(customization), is
/// deprecated; a finalize(output) that fills a span, as the other objects
/// have, can come only once it is gone, since a container passed to it
/// would still bind to the customization template.
class Kt128 final : private detail::KtObject<128> {
 public:
  using KtObject::finalize;
  using KtObject::finalize_xof;
  using KtObject::KtObject;
  using KtObject::reset;
  using KtObject::update;
};
/// See Kt128.
class Kt256 final : private detail::KtObject<256> {
 public:
  using KtObject::finalize;
  using KtObject::finalize_xof;
  using KtObject::KtObject;
  using KtObject::reset;
  using KtObject::update;
};

/// Fills outputs[j] (any length) with turboshake_128(inputs[j], domain), for
/// the four lanes j at once (see "Four sponges at once" in sha3.hpp). Throws
/// vexo::Error("Invalid TurboSHAKE domain byte: 0x80") for a domain byte
/// outside 0x01..0x7F, with the outputs untouched. No allocation.
VEXO_API void turboshake_128_x4(const std::array<tamu::span<const unsigned char>, 4>& inputs,
                                unsigned char domain,
                                const std::array<tamu::span<unsigned char>, 4>& outputs);

/// Fills outputs[j] with turboshake_256(inputs[j], domain), as
/// turboshake_128_x4.
VEXO_API void turboshake_256_x4(const std::array<tamu::span<const unsigned char>, 4>& inputs,
                                unsigned char domain,
                                const std::array<tamu::span<unsigned char>, 4>& outputs);

/// Four TurboSHAKE128 streams with one domain byte as one streaming object,
/// as vexo::Shake128x4 (sha3.hpp). The constructor throws
/// vexo::Error("Invalid TurboSHAKE domain byte: 0x80") for a domain byte
/// outside 0x01..0x7F.
class TurboShake128x4 final : private detail::SpongeX4Object<detail::kTurboShake128> {
 public:
  /// Starts four empty TurboSHAKE128 sponges with the domain byte `domain`.
  explicit TurboShake128x4(unsigned char domain = 0x1F)
      : SpongeX4Object(detail::checked_turboshake_domain(domain)) {}
  using SpongeX4Object::absorb;
  using SpongeX4Object::reset;
  using SpongeX4Object::squeeze;
};

/// Four TurboSHAKE256 streams as one streaming object, as TurboShake128x4.
class TurboShake256x4 final : private detail::SpongeX4Object<detail::kTurboShake256> {
 public:
  /// Starts four empty TurboSHAKE256 sponges with the domain byte `domain`.
  explicit TurboShake256x4(unsigned char domain = 0x1F)
      : SpongeX4Object(detail::checked_turboshake_domain(domain)) {}
  using SpongeX4Object::absorb;
  using SpongeX4Object::reset;
  using SpongeX4Object::squeeze;
};

}  // namespace vexo
