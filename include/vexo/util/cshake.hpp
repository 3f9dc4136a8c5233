/// \file
/// cSHAKE and the functions built on it (NIST SP 800-185): KMAC, KMACXOF,
/// TupleHash, TupleHashXOF, ParallelHash and ParallelHashXOF, at the 128- and
/// 256-bit security strengths.
///
/// Every one-shot function fills all of `output` (any length, 0 included) and
/// takes inputs, keys, function names and customization strings of any
/// length, 0 included; an empty span may have a null data(). The fixed-length
/// forms (KMAC, TupleHash, ParallelHash) bind the output length into the hash,
/// so a longer output does not start with a shorter one; the XOF forms encode
/// the length as 0 and do. None keeps state between calls or holds on to a
/// span after it returns; all may be called from any number of threads at
/// once. They return nothing: they cannot fail, and the one bad argument
/// (a ParallelHash block size of 0) throws vexo::Error.
///
/// Example:
/// \code
///   std::array<unsigned char, 32> tag;
///   vexo::kmac_128(key, std::string_view("message"), {}, tag);
///   std::array<unsigned char, 32> digest;
///   vexo::tuple_hash_128({first, second}, {}, digest);
/// \endcode
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include "tamu/span.hpp"
#include "vexo/util/bytes.hpp"
#include "vexo/util/export.hpp"
#include "vexo/util/keccak.hpp"
#include "vexo/util/sha3.hpp"

namespace vexo::util {
class ThreadPool;
}  // namespace vexo::util

namespace vexo {

/// Bytes, as the functions of this header take them.
using ByteSpan = tamu::span<const unsigned char>;

// ----------------------------------------------------------------------------
// One-shot functions
// ----------------------------------------------------------------------------

/// Fills `output` with cSHAKE128(input, L, function_name, customization), L
/// being output.size() * 8. With an empty name and customization this is
/// SHAKE128, as the standard defines it.
VEXO_API void cshake_128(ByteSpan input, ByteSpan function_name, ByteSpan customization,
                         tamu::span<unsigned char> output);
/// Fills `output` with cSHAKE256(input, L, function_name, customization).
VEXO_API void cshake_256(ByteSpan input, ByteSpan function_name, ByteSpan customization,
                         tamu::span<unsigned char> output);

/// Fills `output` with KMAC128(key, input, L, customization), L being
/// output.size() * 8. Any key length is accepted; the standard asks for a key
/// of at least 16 bytes for full strength.
VEXO_API void kmac_128(ByteSpan key, ByteSpan input, ByteSpan customization,
                       tamu::span<unsigned char> output);
/// Fills `output` with KMAC256(key, input, L, customization).
VEXO_API void kmac_256(ByteSpan key, ByteSpan input, ByteSpan customization,
                       tamu::span<unsigned char> output);
/// Fills `output` with KMACXOF128(key, input, L, customization): the output
/// length is encoded as 0, so a longer output starts with a shorter one.
VEXO_API void kmac_xof_128(ByteSpan key, ByteSpan input, ByteSpan customization,
                           tamu::span<unsigned char> output);
/// Fills `output` with KMACXOF256(key, input, L, customization).
VEXO_API void kmac_xof_256(ByteSpan key, ByteSpan input, ByteSpan customization,
                           tamu::span<unsigned char> output);

/// Fills `output` with TupleHash128(tuple, L, customization): each element
/// is hashed with its length, so ("ab", "c") and ("a", "bc") differ. An empty
/// tuple is fine.
VEXO_API void tuple_hash_128(tamu::span<const ByteSpan> tuple, ByteSpan customization,
                             tamu::span<unsigned char> output);
/// Fills `output` with TupleHash256(tuple, L, customization).
VEXO_API void tuple_hash_256(tamu::span<const ByteSpan> tuple, ByteSpan customization,
                             tamu::span<unsigned char> output);
/// Fills `output` with TupleHashXOF128(tuple, L, customization).
VEXO_API void tuple_hash_xof_128(tamu::span<const ByteSpan> tuple, ByteSpan customization,
                                 tamu::span<unsigned char> output);
/// Fills `output` with TupleHashXOF256(tuple, L, customization).
VEXO_API void tuple_hash_xof_256(tamu::span<const ByteSpan> tuple, ByteSpan customization,
                                 tamu::span<unsigned char> output);

/// The tuple forms with a braced list: tuple_hash_128({a, b}, {}, out). The
/// list's elements are views; they must outlive the call only.
inline void tuple_hash_128(std::initializer_list<ByteSpan> tuple, ByteView customization,
                           tamu::span<unsigned char> output) {
  tuple_hash_128(tamu::span<const ByteSpan>(tuple.begin(), tuple.size()), customization, output);
}
/// tuple_hash_256() with a braced list of elements, as tuple_hash_128.
inline void tuple_hash_256(std::initializer_list<ByteSpan> tuple, ByteView customization,
                           tamu::span<unsigned char> output) {
  tuple_hash_256(tamu::span<const ByteSpan>(tuple.begin(), tuple.size()), customization, output);
}
/// tuple_hash_xof_128() with a braced list of elements, as tuple_hash_128.
inline void tuple_hash_xof_128(std::initializer_list<ByteSpan> tuple, ByteView customization,
                               tamu::span<unsigned char> output) {
  tuple_hash_xof_128(tamu::span<const ByteSpan>(tuple.begin(), tuple.size()), customization,
                     output);
}
/// tuple_hash_xof_256() with a braced list of elements, as tuple_hash_128.
inline void tuple_hash_xof_256(std::initializer_list<ByteSpan> tuple, ByteView customization,
                               tamu::span<unsigned char> output) {
  tuple_hash_xof_256(tamu::span<const ByteSpan>(tuple.begin(), tuple.size()), customization,
                     output);
}

/// Fills `output` with ParallelHash128(input, block_size, L, customization):
/// the input is cut into blocks of `block_size` bytes, which are hashed
/// independently (four at a time on the four-state permutation when
/// block_size is a multiple of 8), then together.
///
/// Throws vexo::Error("Invalid ParallelHash block size: 0") for a block size
/// of 0. With a `pool`, blocks are also hashed by tasks on its workers, under
/// the contract of kt_128 (k12.hpp): the call finishes with a full, busy or
/// shared pool, from one of its own tasks, or while other threads remove its
/// pending tasks; the pool must outlive the call. Inputs below 64 KiB stay on
/// the calling thread. Memory: none without a pool; with one, at most 1 MiB
/// of chaining values and one task per helper, per 8 MiB of input.
VEXO_API void parallel_hash_128(ByteSpan input, std::size_t block_size, ByteSpan customization,
                                tamu::span<unsigned char> output,
                                vexo::util::ThreadPool* pool = nullptr);
/// Fills `output` with ParallelHash256(input, block_size, L, customization),
/// as parallel_hash_128.
VEXO_API void parallel_hash_256(ByteSpan input, std::size_t block_size, ByteSpan customization,
                                tamu::span<unsigned char> output,
                                vexo::util::ThreadPool* pool = nullptr);
/// Fills `output` with ParallelHashXOF128(input, block_size, L,
/// customization), as parallel_hash_128.
VEXO_API void parallel_hash_xof_128(ByteSpan input, std::size_t block_size, ByteSpan customization,
                                    tamu::span<unsigned char> output,
                                    vexo::util::ThreadPool* pool = nullptr);
/// Fills `output` with ParallelHashXOF256(input, block_size, L,
/// customization), as parallel_hash_128.
VEXO_API void parallel_hash_xof_256(ByteSpan input, std::size_t block_size, ByteSpan customization,
                                    tamu::span<unsigned char> output,
                                    vexo::util::ThreadPool* pool = nullptr);

/// The one-shot functions with any contiguous bytes as the input, key,
/// function name and customization (see ByteInput and ByteView in bytes.hpp):
/// a std::string key or customization is taken as its bytes, as a message is.
template <ByteInput T>
void cshake_128(const T& input, ByteView function_name, ByteView customization,
                tamu::span<unsigned char> output) {
  cshake_128(byte_view(input), ByteSpan(function_name), ByteSpan(customization), output);
}
/// cshake_256() with any contiguous bytes or chars as `input`.
template <ByteInput T>
void cshake_256(const T& input, ByteView function_name, ByteView customization,
                tamu::span<unsigned char> output) {
  cshake_256(byte_view(input), ByteSpan(function_name), ByteSpan(customization), output);
}
/// kmac_128() with any contiguous bytes or chars as `input`.
template <ByteInput T>
void kmac_128(ByteView key, const T& input, ByteView customization,
              tamu::span<unsigned char> output) {
  kmac_128(ByteSpan(key), byte_view(input), ByteSpan(customization), output);
}
/// kmac_256() with any contiguous bytes or chars as `input`.
template <ByteInput T>
void kmac_256(ByteView key, const T& input, ByteView customization,
              tamu::span<unsigned char> output) {
  kmac_256(ByteSpan(key), byte_view(input), ByteSpan(customization), output);
}
/// kmac_xof_128() with any contiguous bytes or chars as `input`.
template <ByteInput T>
void kmac_xof_128(ByteView key, const T& input, ByteView customization,
                  tamu::span<unsigned char> output) {
  kmac_xof_128(ByteSpan(key), byte_view(input), ByteSpan(customization), output);
}
/// kmac_xof_256() with any contiguous bytes or chars as `input`.
template <ByteInput T>
void kmac_xof_256(ByteView key, const T& input, ByteView customization,
                  tamu::span<unsigned char> output) {
  kmac_xof_256(ByteSpan(key), byte_view(input), ByteSpan(customization), output);
}
/// parallel_hash_128() with any contiguous bytes or chars as `input`.
template <ByteInput T>
void parallel_hash_128(const T& input, std::size_t block_size, ByteView customization,
                       tamu::span<unsigned char> output, vexo::util::ThreadPool* pool = nullptr) {
  parallel_hash_128(byte_view(input), block_size, ByteSpan(customization), output, pool);
}
/// parallel_hash_256() with any contiguous bytes or chars as `input`.
template <ByteInput T>
void parallel_hash_256(const T& input, std::size_t block_size, ByteView customization,
                       tamu::span<unsigned char> output, vexo::util::ThreadPool* pool = nullptr) {
  parallel_hash_256(byte_view(input), block_size, ByteSpan(customization), output, pool);
}
/// parallel_hash_xof_128() with any contiguous bytes or chars as `input`.
template <ByteInput T>
void parallel_hash_xof_128(const T& input, std::size_t block_size, ByteView customization,
                           tamu::span<unsigned char> output,
                           vexo::util::ThreadPool* pool = nullptr) {
  parallel_hash_xof_128(byte_view(input), block_size, ByteSpan(customization), output, pool);
}
/// parallel_hash_xof_256() with any contiguous bytes or chars as `input`.
template <ByteInput T>
void parallel_hash_xof_256(const T& input, std::size_t block_size, ByteView customization,
                           tamu::span<unsigned char> output,
                           vexo::util::ThreadPool* pool = nullptr) {
  parallel_hash_xof_256(byte_view(input), block_size, ByteSpan(customization), output, pool);
}

// ----------------------------------------------------------------------------
// Streaming objects
// ----------------------------------------------------------------------------
//
// As the objects of sha3.hpp: update() any number of times, then finish;
// finishing is const, so more input may follow and a later finish covers
// everything; reset() goes back to just after construction (the key, name
// and customization stay). Plain values (about 440 bytes, ParallelHash's
// about 700) that never allocate (ParallelHash's only with a pool, as
// parallel_hash_128); a copy continues independently. One object must not be used from two threads
// at once without outside locking.

namespace detail {

/// A cSHAKE sponge after its prefix bytepad(encode_string(N) ||
/// encode_string(S), rate), and for KMAC after the padded key. Behind the
/// classes below; use those.
class CshakeStream {
 public:
  /// `bits` is 128 or 256. With an empty name and customization the sponge
  /// is SHAKE's, as the standard defines cSHAKE.
  VEXO_API CshakeStream(unsigned int bits, ByteSpan function_name, ByteSpan customization);

  /// Absorbs bytepad(encode_string(key), rate) (KMAC's key block); reset()
  /// then comes back to just after it.
  VEXO_API void absorb_key(ByteSpan key) noexcept;
  /// Absorbs `data`.
  VEXO_API void update(ByteSpan data) noexcept;
  /// Absorbs encode_string(element) (TupleHash's elements).
  VEXO_API void update_encoded(ByteSpan element) noexcept;
  /// Pads a copy of the sponge and returns a reader of its output.
  [[nodiscard]] VEXO_API XofReader finalize() const noexcept;
  /// Absorbs right_encode(output_bits) into a copy of the sponge, pads it and
  /// returns a reader of its output (KMAC, TupleHash: 0 for their XOFs).
  [[nodiscard]] VEXO_API XofReader finalize_with_length(std::uint64_t output_bits) const noexcept;
  /// Goes back to just after the prefix (and the key).
  VEXO_API void reset() noexcept;

 private:
  friend class ParallelHashStream;

  /// The sponge just after the prefix (and the key): where reset() returns.
  keccak::SpongeInstance start_;
  /// The sponge with all input so far.
  keccak::SpongeInstance sponge_;
  /// 0x04 for cSHAKE, 0x1F when it is SHAKE.
  unsigned char suffix_;
};

/// ParallelHash's sponges: the outer cSHAKE with the chaining values of the
/// whole blocks so far, and the block in progress. Behind ParallelHash128 and
/// ParallelHash256; use those.
class ParallelHashStream {
 public:
  /// Throws vexo::Error("Invalid ParallelHash block size: 0").
  VEXO_API ParallelHashStream(unsigned int bits, std::size_t block_size, ByteSpan customization,
                              vexo::util::ThreadPool* pool);

  /// Absorbs `data`: whole blocks from a block boundary are hashed from the
  /// caller's memory (on the pool, if any, for long runs), the rest goes
  /// into the block in progress.
  VEXO_API void update(ByteSpan data);
  /// Returns a reader of ParallelHash(all input, L) with L = output_bits (0
  /// for the XOF); the object is unchanged.
  [[nodiscard]] VEXO_API XofReader finalize_with_length(std::uint64_t output_bits) const noexcept;
  /// Forgets all input.
  VEXO_API void reset() noexcept;

 private:
  /// The outer cSHAKE("ParallelHash", S) after left_encode(block size) and
  /// the chaining values of blocks_ blocks.
  CshakeStream outer_;
  /// The block in progress, when leaf_fill_ > 0.
  keccak::SpongeInstance leaf_;
  /// Blocks whose chaining values outer_ holds.
  std::uint64_t blocks_ = 0;
  /// Bytes in the block in progress, below block_size_.
  std::size_t leaf_fill_ = 0;
  std::size_t block_size_;
  /// Helps with long updates, or null; not owned.
  vexo::util::ThreadPool* pool_;
  /// 128 or 256.
  unsigned int bits_;
};

}  // namespace detail

namespace detail {

/// The members of the cSHAKE-family streaming objects, on their stream
/// (CshakeStream, or ParallelHashStream whose update may allocate with a
/// pool): update(), finalize(output) with L = output.size() * 8 bound into
/// the output, finalize_xof() with L = 0, and reset(), which goes back to
/// just after the constructor (key, name and customization stay).
template <class Stream>
class CshakeFamily {
  static constexpr bool kNothrowUpdate = std::is_same_v<Stream, CshakeStream>;

 public:
  /// Absorbs `data` (may be empty).
  void update(ByteSpan data) noexcept(kNothrowUpdate) { stream_.update(data); }
  /// As update(ByteSpan): absorbs `data`, any contiguous bytes or chars.
  template <ByteInput T>
  void update(const T& data) noexcept(kNothrowUpdate) {
    stream_.update(byte_view(data));
  }
  /// Writes the output with L = output.size() * 8 for all input so far.
  void finalize(tamu::span<unsigned char> output) const noexcept {
    stream_.finalize_with_length(std::uint64_t{output.size()} * 8).read(output);
  }
  /// Returns a reader of the XOF form (L = 0) for all input so far.
  [[nodiscard]] XofReader finalize_xof() const noexcept { return stream_.finalize_with_length(0); }
  /// Forgets all input.
  void reset() noexcept { stream_.reset(); }

 protected:
  template <class... Args>
  explicit CshakeFamily(Args&&... args) : stream_(std::forward<Args>(args)...) {}

  Stream stream_;
};

/// cSHAKE itself: an XOF with no length to bind, so finalize_xof() returns
/// a reader and finalize(output) fills `output`.
template <unsigned int Bits>
class CshakeObject : public CshakeFamily<CshakeStream> {
 public:
  CshakeObject(ByteView function_name, ByteView customization)
      : CshakeFamily(Bits, function_name, customization) {}
  /// finalize_xof() under its 2.0 name. Deprecated: every other finalize
  /// fills a span or returns a fixed-length digest.
  [[deprecated("use finalize_xof()")]] [[nodiscard]] XofReader finalize() const noexcept {
    return stream_.finalize();
  }
  /// Fills all of `output` with the output for all input so far.
  void finalize(tamu::span<unsigned char> output) const noexcept {
    stream_.finalize().read(output);
  }
  /// Returns a reader of the output for all input so far.
  [[nodiscard]] XofReader finalize_xof() const noexcept { return stream_.finalize(); }
};

/// KMAC: cSHAKE("KMAC", S) with the key block absorbed first.
template <unsigned int Bits>
class KmacObject : public CshakeFamily<CshakeStream> {
 public:
  explicit KmacObject(ByteView key, ByteView customization = {})
      : CshakeFamily(Bits, ByteSpan(kName), customization) {
    stream_.absorb_key(key);
  }

 private:
  static constexpr unsigned char kName[4] = {'K', 'M', 'A', 'C'};
};

/// TupleHash: cSHAKE("TupleHash", S) over encode_string of each element.
template <unsigned int Bits>
class TupleHashObject : public CshakeFamily<CshakeStream> {
 public:
  explicit TupleHashObject(ByteView customization = {})
      : CshakeFamily(Bits, ByteSpan(kName), customization) {}
  /// Appends the element `element` (may be empty) to the tuple.
  void add(ByteSpan element) noexcept { stream_.update_encoded(element); }
  /// As add(ByteSpan): appends `element`, any contiguous bytes or chars.
  template <ByteInput T>
  void add(const T& element) noexcept {
    stream_.update_encoded(byte_view(element));
  }

 private:
  static constexpr unsigned char kName[9] = {'T', 'u', 'p', 'l', 'e', 'H', 'a', 's', 'h'};
};

/// ParallelHash on its stream.
template <unsigned int Bits>
class ParallelHashObject : public CshakeFamily<ParallelHashStream> {
 public:
  explicit ParallelHashObject(std::size_t block_size, ByteView customization = {},
                              vexo::util::ThreadPool* pool = nullptr)
      : CshakeFamily(Bits, block_size, customization, pool) {}
};

}  // namespace detail

/// cSHAKE128 and cSHAKE256 as streaming objects: the constructor takes the
/// function name and the customization string (any length, empty for none;
/// absorbed, not kept; never throws); finalize_xof() (or finalize(), its
/// deprecated 2.0 name) returns a reader of cshake_128(all input, function_name,
/// customization) of any length, and finalize(output) fills `output` with
/// its first bytes.
class Cshake128 final : private detail::CshakeObject<128> {
 public:
  using CshakeObject::CshakeObject;
  using CshakeObject::finalize;
  using CshakeObject::finalize_xof;
  using CshakeObject::reset;
  using CshakeObject::update;
};

/// See Cshake128.
class Cshake256 final : private detail::CshakeObject<256> {
 public:
  using CshakeObject::CshakeObject;
  using CshakeObject::finalize;
  using CshakeObject::finalize_xof;
  using CshakeObject::reset;
  using CshakeObject::update;
};

/// KMAC128 and KMAC256 as streaming objects: the constructor takes the key
/// (any length; 16 bytes or more for KMAC128's full strength, 32 for
/// KMAC256's) and the customization string, keeps neither (only the keyed
/// sponge) and never throws; finalize(output) writes kmac_128(key, all input,
/// customization, output); finalize_xof() returns a reader of KMACXOF128 of
/// any length; reset() keeps the key.
///
/// Example:
///   vexo::Kmac128 mac(key);
///   mac.update(header);
///   mac.update(body);
///   std::array<unsigned char, 32> tag;
///   mac.finalize(tag);
class Kmac128 final : private detail::KmacObject<128> {
 public:
  using KmacObject::finalize;
  using KmacObject::finalize_xof;
  using KmacObject::KmacObject;
  using KmacObject::reset;
  using KmacObject::update;
};

/// See Kmac128.
class Kmac256 final : private detail::KmacObject<256> {
 public:
  using KmacObject::finalize;
  using KmacObject::finalize_xof;
  using KmacObject::KmacObject;
  using KmacObject::reset;
  using KmacObject::update;
};

/// TupleHash128 and TupleHash256 as streaming objects: the constructor takes
/// the customization string (absorbed, not kept; never throws); add()
/// appends one element to the tuple; finalize(output) writes
/// tuple_hash_128(all elements, customization, output) and finalize_xof()
/// returns a reader of TupleHashXOF128; reset() empties the tuple.
class TupleHash128 final : private detail::TupleHashObject<128> {
 public:
  using TupleHashObject::add;
  using TupleHashObject::finalize;
  using TupleHashObject::finalize_xof;
  using TupleHashObject::reset;
  using TupleHashObject::TupleHashObject;
};

/// See TupleHash128.
class TupleHash256 final : private detail::TupleHashObject<256> {
 public:
  using TupleHashObject::add;
  using TupleHashObject::finalize;
  using TupleHashObject::finalize_xof;
  using TupleHashObject::reset;
  using TupleHashObject::TupleHashObject;
};

/// ParallelHash128 and ParallelHash256 as streaming objects: the
/// constructor takes the block size, the customization string (not kept)
/// and an optional pool (not owned; it must outlive the object's updates),
/// and throws vexo::Error("Invalid ParallelHash block size: 0") for a block
/// size of 0. finalize(output) writes parallel_hash_128(all input,
/// block_size, customization, output) and finalize_xof() returns a reader of
/// ParallelHashXOF128. Whole blocks that arrive in one update from a block
/// boundary are hashed from the caller's memory, four at a time, and on the
/// pool for long runs (contract of parallel_hash_128); other bytes go
/// through a sponge of the block in progress, without a buffer.
class ParallelHash128 final : private detail::ParallelHashObject<128> {
 public:
  using ParallelHashObject::finalize;
  using ParallelHashObject::finalize_xof;
  using ParallelHashObject::ParallelHashObject;
  using ParallelHashObject::reset;
  using ParallelHashObject::update;
};

/// See ParallelHash128.
class ParallelHash256 final : private detail::ParallelHashObject<256> {
 public:
  using ParallelHashObject::finalize;
  using ParallelHashObject::finalize_xof;
  using ParallelHashObject::ParallelHashObject;
  using ParallelHashObject::reset;
  using ParallelHashObject::update;
};

}  // namespace vexo
