/// \file
/// tamu::cat: joins two or three texts or numbers into a new string.
#pragma once

#include <charconv>
#include <cstdint>
#include <string>
#include <string_view>

namespace tamu {

/// ConvertingStringView is the argument type of cat(): a view of a text, made
/// implicitly from a zero-terminated text, a string view or string, or an
/// unsigned 64-bit number (written as decimal digits with no sign, leading
/// zeros or separators). It holds the digits of a number itself, so it must not
/// outlive the expression it was made in, and a text it views must outlive it.
class ConvertingStringView {
 public:
  /// Views the zero-terminated `text`, which must not be null.
  ConvertingStringView(const char* text) : view_(text) {}  // NOLINT
  /// Views the characters that `text` views.
  ConvertingStringView(std::string_view text) : view_(text) {}  // NOLINT
  /// Views the characters of `text`.
  ConvertingStringView(const std::string& text) : view_(text) {}  // NOLINT
  /// Views the decimal digits of `number`, held in the object itself.
  ConvertingStringView(std::uint64_t number) {  // NOLINT
    const auto result = std::to_chars(digits_, digits_ + sizeof(digits_), number);
    view_ = std::string_view(digits_, static_cast<std::size_t>(result.ptr - digits_));
  }

  /// Not copyable: a copy of a number's view would point into the original.
  ConvertingStringView(const ConvertingStringView&) = delete;
  ConvertingStringView& operator=(const ConvertingStringView&) = delete;

  /// Returns the view; valid while this object and the viewed text live.
  [[nodiscard]] std::string_view view() const { return view_; }

 private:
  char digits_[20] = {};   ///< Room for the 20 digits of UINT64_MAX.
  std::string_view view_;  ///< The text: digits_ or the caller's characters.
};

/// Returns a new string holding the texts of `a` and `b`, one after the other.
/// Throws only std::bad_alloc.
inline std::string cat(const ConvertingStringView& a, const ConvertingStringView& b) {
  std::string result;
  result.reserve(a.view().size() + b.view().size());
  result.append(a.view()).append(b.view());
  return result;
}

/// Returns a new string holding the texts of `a`, `b` and `c`, one after the
/// other. Throws only std::bad_alloc.
inline std::string cat(const ConvertingStringView& a, const ConvertingStringView& b,
                       const ConvertingStringView& c) {
  std::string result;
  result.reserve(a.view().size() + b.view().size() + c.view().size());
  result.append(a.view()).append(b.view()).append(c.view());
  return result;
}

}  // namespace tamu
