/// \file
/// Byte views of the inputs that users have: what lets every hashing function
/// take a std::string, std::string_view, std::vector, std::array or a span of
/// std::byte or char as well as a span of unsigned char.
#pragma once

#include <cstddef>
#include <ranges>
#include <type_traits>

#include "tamu/span.hpp"

namespace vexo {

/// A contiguous, sized range of one-byte elements (char, signed char,
/// unsigned char, char8_t or std::byte), other than a built-in array.
///
/// Arrays are left out on purpose: a string literal "abc" is a char[4] whose
/// last element is its terminating zero, so that a hash of it would take 4
/// bytes. Write std::string_view("abc") instead, which hashes 3. A braced `{}`
/// deduces no type, so it still selects the span forms, as an empty input.
template <class T>
concept ByteInput =
    !std::is_array_v<std::remove_cvref_t<T>> && std::ranges::contiguous_range<T> &&
    std::ranges::sized_range<T> &&
    (std::is_same_v<std::remove_cv_t<std::ranges::range_value_t<T>>, char> ||
     std::is_same_v<std::remove_cv_t<std::ranges::range_value_t<T>>, signed char> ||
     std::is_same_v<std::remove_cv_t<std::ranges::range_value_t<T>>, unsigned char> ||
     std::is_same_v<std::remove_cv_t<std::ranges::range_value_t<T>>, char8_t> ||
     std::is_same_v<std::remove_cv_t<std::ranges::range_value_t<T>>, std::byte>);

/// Returns a view of the bytes of `input`, which it does not own: it is valid
/// as long as `input` is, and unchanged.
template <ByteInput T>
[[nodiscard]] tamu::span<const unsigned char> byte_view(const T& input) noexcept {
  return tamu::span<const unsigned char>(
      reinterpret_cast<const unsigned char*>(std::ranges::data(input)), std::ranges::size(input));
}

/// One parameter type for bytes: what the keys, customization strings and
/// function names of the hashing functions take, so that every byte
/// parameter accepts what a message does. It converts implicitly from a span
/// of unsigned char or anything that converts to one (a vector or array of
/// unsigned char, an unsigned char array), from any ByteInput
/// (std::string, std::string_view, spans of char or std::byte), from a
/// pointer and a size, and from `{}` (no bytes). A view: it owns nothing and
/// is valid as long as what it was made from.
class ByteView {
 public:
  /// No bytes.
  constexpr ByteView() noexcept = default;
  /// The `size` bytes at `data` (null when size is 0).
  constexpr ByteView(const unsigned char* data, std::size_t size) noexcept : bytes_(data, size) {}
  /// The bytes of a span of unsigned char, or of what converts to one.
  template <class T>
  requires std::is_convertible_v<const T&, tamu::span<const unsigned char>>
  constexpr ByteView(const T& bytes) noexcept  // NOLINT(google-explicit-constructor)
      : bytes_(bytes) {}
  /// The bytes of any other contiguous bytes or chars (see ByteInput).
  template <ByteInput T>
  requires(!std::is_convertible_v<const T&, tamu::span<const unsigned char>>)
      ByteView(const T& input)
  noexcept  // NOLINT(google-explicit-constructor)
      : bytes_(byte_view(input)) {}

  /// The bytes as a span.
  // NOLINTNEXTLINE(google-explicit-constructor)
  [[nodiscard]] constexpr operator tamu::span<const unsigned char>() const noexcept {
    return bytes_;
  }
  /// The first byte (null for no bytes).
  [[nodiscard]] constexpr const unsigned char* data() const noexcept { return bytes_.data(); }
  /// The number of bytes.
  [[nodiscard]] constexpr std::size_t size() const noexcept { return bytes_.size(); }

 private:
  tamu::span<const unsigned char> bytes_;
};

}  // namespace vexo
