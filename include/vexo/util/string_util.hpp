/// \file
/// Text helpers: escaping for file names, brackets and delimiters, and
/// printf-style formatting into a string.
///
/// Every function here keeps no state between calls and may run in any number
/// of threads at once, each on its own arguments. Texts are sequences of bytes;
/// no character encoding is interpreted.
#pragma once

#include <cstddef>
#include <string>
#include <type_traits>
#include <vector>

#include "tamu/optional.hpp"
#include "tamu/string_view.hpp"
#include "vexo/util/export.hpp"

namespace vexo {

// ---------------------------------------------------------------------------
// File-name escaping
// ---------------------------------------------------------------------------

/// Returns the escaped file-name text of `str` as a new string that the caller
/// owns. Each byte is mapped on its own:
///   - 0x00 to 0x20 (control characters and the space) become one space;
///   - / \ : ? * " ' < > | $ & and every byte of 0x80 or more become a dollar
///     sign followed by the byte's value as two lowercase hexadecimal digits
///     ("/" gives "$2f", the UTF-8 bytes C3 BC give "$c3$bc");
///   - every other byte (0x7F, the dot, % and ~ included) is copied.
/// The result therefore holds no byte below 0x20, every dollar sign in it opens
/// a sequence of value 0x22 or more, and it is the input's length plus two for
/// each escaped byte.
///
/// The texts "." and ".." name a directory itself and its parent, never a file,
/// so they are returned fully escaped as "$2e" and "$2e$2e"; dots anywhere else
/// are copied. An empty text escapes to an empty text, which is not a usable
/// file name either: callers who build paths must reject it themselves.
///
/// Accepts every input; throws only std::bad_alloc. The result of an input
/// longer than 1024 bytes may keep spare capacity of up to twice the input's
/// length (it is written in a single pass into room for the worst case).
///
/// Example: escape_filename_characters("run 7: \"x\"&y") == "run 7$3a $22x$22$26y"
VEXO_API std::string escape_filename_characters(tamu::string_view str);

/// Returns `str` with its escape sequences decoded, as a new string that the
/// caller owns. A dollar sign followed by two lowercase hexadecimal digits of
/// value 0x20 or more is replaced by the byte of that value; any other dollar
/// sign (uppercase digits, a value below 0x20, fewer than two bytes after it)
/// is copied as it stands and decoding goes on with the byte after it, so "$$41"
/// decodes to "$A". Every other byte is copied, control characters included.
/// The result is never longer than `str`.
///
/// For every text without bytes 0x00 to 0x1F, decoding its escaped text gives
/// it back; each such byte comes back as a space.
///
/// Accepts every input; throws only std::bad_alloc.
///
/// Example: unescape_filename_characters("Gr$c3$bc$c3$9fe.txt") == "Grüße.txt"
VEXO_API std::string unescape_filename_characters(tamu::string_view str);

namespace detail {

/// Returns the value 0 to 15 of the lowercase hexadecimal digit `c` (0-9, a-f),
/// or -1 for any other character, uppercase A to F included. Never throws.
VEXO_API int hex2dec(char c);

/// Returns the value 0 to 255 of the two lowercase hexadecimal digits that
/// start `str` (the first one is the high digit), or -1 if either of them is
/// not a lowercase hexadecimal digit or `str` holds fewer than two characters.
/// Characters after the second are not read ("abc" gives 171). Never throws.
VEXO_API int hex2dec_2chars(tamu::string_view str);

}  // namespace detail

// ---------------------------------------------------------------------------
// Brackets and delimiters
// ---------------------------------------------------------------------------

/// Returns the index in `str` of the `closing_bracket` that matches the first
/// character of `str`, or no value when there is none. The first character is
/// taken as the opening bracket whatever it is; later occurrences of it nest,
/// and a `closing_bracket` is tested first, so when both are the same character
/// (a quote) its next occurrence is the match. Texts of fewer than two
/// characters give no value. Never throws.
///
/// Example: find_matching_bracket("(a(b)c)d", ')') == 6
VEXO_API tamu::optional<std::size_t> find_matching_bracket(tamu::string_view str,
                                                           char closing_bracket);

/// Returns, in order, the text between each outermost `opening_bracket` and its
/// matching `closing_bracket`, brackets excluded; inner pairs stay inside the
/// element. The elements are views into the characters that `str` views: they
/// are valid only while those stay alive and unchanged.
///
/// An opening bracket still open at the end yields no element (no error). When
/// both brackets are the same character every occurrence counts as opening, so
/// the result is empty.
///
/// Throws vexo::Error with the message <tt>Bracket mismatch: \"</tt> + str + <tt>\"</tt> when a
/// closing bracket comes while no bracket is open (for "a)b" the message is
/// `Bracket mismatch: "a)b"`); otherwise throws only std::bad_alloc.
///
/// Lifetime: the parameter is marked [[clang::lifetimebound]], and a
/// std::string argument goes through the overload below, which carries the
/// mark too; so clang warns (-Wdangling) when the result is kept beyond the
/// statement that passed a temporary string, as in
/// \code
/// auto views = get_bracket_contents(std::string("(a)"), '(', ')');  // dangles
/// \endcode
/// Other compilers accept such code silently.
///
/// Example: get_bracket_contents("f(a, g(b)) + (c)", '(', ')') gives the views
/// \code
///        "a, g(b)" and "c".
/// \endcode
VEXO_API std::vector<tamu::string_view> get_bracket_contents(
    tamu::string_view str VEXO_LIFETIMEBOUND, char opening_bracket, char closing_bracket);

/// Same as get_bracket_contents(tamu::string_view(str), ...): the views point
/// into `str`'s characters.
template <typename String>
requires std::is_same_v<String, std::string> std::vector<tamu::string_view> get_bracket_contents(
    const String& str VEXO_LIFETIMEBOUND, char opening_bracket, char closing_bracket) {
  return get_bracket_contents(tamu::string_view(str), opening_bracket, closing_bracket);
}

/// Returns a copy of `str` up to, not including, its first `delim`, or a copy
/// of the whole of `str` when `delim` does not occur. Throws only
/// std::bad_alloc.
///
/// Example: erase_from_delimiter_to_end("key=value=x", '=') == "key"
VEXO_API std::string erase_from_delimiter_to_end(tamu::string_view str, char delim);

/// Returns a copy of the part of `str` behind its last `delim`: an empty string
/// when `delim` does not occur or is the last character. Throws only
/// std::bad_alloc.
///
/// Example: string_behind_last("/usr/lib/file.txt", '/') == "file.txt"
VEXO_API std::string string_behind_last(tamu::string_view str, char delim);

// ---------------------------------------------------------------------------
// Formatted strings
// ---------------------------------------------------------------------------

/// Returns the output of the platform's vsnprintf for `fmt` and the arguments
/// that follow, as a new string that the caller owns. `fmt` must not be null
/// and the arguments must match its conversions (the compiler checks this for
/// literal formats).
///
/// The result ends before the first NUL byte of the output, so "a%cb" with the
/// argument 0 gives "a". When formatting fails (vsnprintf reports an error, for
/// instance a \%ls argument that the current locale cannot encode), the result
/// is "<encoding error>" followed by the unexpanded `fmt`; no exception is
/// thrown for that. Outputs of any length are supported; those of 256
/// characters or more are formatted twice, and either pass may fail. Throws
/// std::bad_alloc when memory runs out (also inside vsnprintf, which reports
/// ENOMEM for its own work space), and std::length_error; nothing else.
///
/// Example: string_sprintf("%s-%03d", "take", 7) == "take-007"
VEXO_API std::string string_sprintf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace vexo
