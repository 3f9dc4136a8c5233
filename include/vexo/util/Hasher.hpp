/// \file
/// Hasher: a hash function chosen at run time by its name, as a streaming
/// object.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "tamu/span.hpp"
#include "vexo/util/bytes.hpp"
#include "vexo/util/export.hpp"
#include "vexo/util/sha3.hpp"

namespace vexo::util {
class ThreadPool;
}  // namespace vexo::util

namespace vexo {

/// One of the library's hash functions, picked by name at run time, with the
/// streaming interface of the classes it stands for (sha3.hpp, k12.hpp,
/// cshake.hpp): update() any number of times, then finalize(); finishing is
/// const, so more input may follow.
///
/// A value type: copies (deep) continue independently, and a moved-from
/// Hasher may only be assigned to or destroyed. One object must not be used
/// from two threads at once without outside locking. Construction allocates
/// the state once (a few hundred bytes; KT adds 32 KiB at its first long
/// update, as Kt128 does).
///
/// Example:
///   std::optional<vexo::Hasher> hasher = vexo::Hasher::by_name("SHA3-256");
///   if (!hasher) return usage_error();
///   hasher->update(std::string_view("abc"));
///   std::vector<unsigned char> digest(hasher->digest_size());
///   hasher->finalize(digest);
///   std::cout << vexo::to_hex(digest) << '\n';
class Hasher final {
 public:
  /// Returns the Hasher of `name`, or an empty optional for a name it does
  /// not know. The names are the tags that `sha3sum --tag` writes, matched
  /// in any case ("sha3-256", "kt128"; name() gives the spelling below):
  /// SHA3-224, SHA3-256, SHA3-384, SHA3-512, SHAKE128, SHAKE256,
  /// TurboSHAKE128, TurboSHAKE256 (domain byte 0x1F), KT128, KT256 (no
  /// customization), Keccak-256, ParallelHash128, ParallelHash256 (block
  /// size 8192, no customization). `pool` helps KT and ParallelHash with long
  /// updates (as kt_128 does; it must outlive the Hasher's updates) and is
  /// ignored by the others. Throws std::bad_alloc only.
  [[nodiscard]] VEXO_API static std::optional<Hasher> by_name(
      std::string_view name, vexo::util::ThreadPool* pool = nullptr);

  /// Returns the names that by_name() knows, in the order above, as views of
  /// static strings.
  [[nodiscard]] VEXO_API static tamu::span<const std::string_view> names() noexcept;

  /// Makes a deep copy of `other` (not moved-from), input so far included;
  /// the two continue independently. Allocates; throws std::bad_alloc only.
  VEXO_API Hasher(const Hasher& other);
  /// Replaces this Hasher with a deep copy of `other` (not moved-from). Throws
  /// std::bad_alloc only, with this Hasher unchanged.
  VEXO_API Hasher& operator=(const Hasher& other);
  /// Takes over the state of `other`, which may then only be assigned to or
  /// destroyed. No allocation.
  VEXO_API Hasher(Hasher&& other) noexcept;
  /// Takes over the state of `other`, which may then only be assigned to or
  /// destroyed; this Hasher's previous state is freed. No allocation.
  VEXO_API Hasher& operator=(Hasher&& other) noexcept;
  VEXO_API ~Hasher();

  /// Returns the name it was made with, as a view of a static string.
  [[nodiscard]] VEXO_API std::string_view name() const noexcept;
  /// Returns the digest's length in bytes: the fixed length of the SHA-3
  /// digests and Keccak-256, and for the extendable ones their usual length,
  /// twice the security strength (32 bytes for the 128 forms, 64 for 256).
  [[nodiscard]] VEXO_API std::size_t digest_size() const noexcept;
  /// Returns true when finalize() takes any output length and finalize_xof()
  /// works: SHAKE, TurboSHAKE, KT and ParallelHash.
  [[nodiscard]] VEXO_API bool extendable() const noexcept;

  /// Absorbs `data` (may be empty). May throw std::bad_alloc for KT's buffer,
  /// with the object unchanged.
  VEXO_API void update(tamu::span<const unsigned char> data);
  /// update() with any contiguous bytes (bytes.hpp).
  template <ByteInput T>
  void update(const T& data) {
    update(byte_view(data));
  }

  /// Writes the output for all input so far to `output`. For the
  /// extendable functions any length goes (ParallelHash binds it, as
  /// parallel_hash_128 does; the others give a prefix of finalize_xof()'s
  /// bytes); the others need exactly digest_size() bytes and throw
  /// vexo::Error("Invalid output length for SHA3-256: 31 bytes, expected
  /// 32") otherwise.
  VEXO_API void finalize(tamu::span<unsigned char> output) const;
  /// Returns a reader of the output for all input so far, of any length
  /// (ParallelHashXOF for ParallelHash). Throws vexo::Error("SHA3-256 has no
  /// extendable output") for the fixed-length functions.
  [[nodiscard]] VEXO_API XofReader finalize_xof() const;
  /// Forgets all input.
  // std::visit throws only for a valueless variant; every state moves without throwing.
  // NOLINTNEXTLINE(bugprone-exception-escape)
  VEXO_API void reset() noexcept;

 private:
  struct Impl;
  explicit Hasher(std::unique_ptr<Impl> impl) noexcept;

  /// The chosen function and its state; null only after a move.
  std::unique_ptr<Impl> impl_;
};

}  // namespace vexo
