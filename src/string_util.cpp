#include "vexo/util/string_util.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>

#include "tamu/cat.hpp"
#include "vexo/util/exceptions.hpp"

namespace vexo {

namespace {

// ===========================================================================
// Tables
// ===========================================================================

constexpr char kHexDigits[] = "0123456789abcdef";

// What escaping writes for one input byte: up to three bytes and their count.
// The entry is four bytes wide so that the loop can store it whole and then
// advance by `length`, with no branch on the kind of byte.
struct EscapedByte {
  char bytes[3];
  std::uint8_t length;
};
static_assert(sizeof(EscapedByte) == 4);

// The twelve characters that are unsafe in file names. A constexpr table has
// no first-call initialisation, so it is shared by all threads from the start.
constexpr bool is_bad_character(unsigned char c) {
  constexpr char kBadCharacters[] = "/\\:?*\"'<>|$&";
  for (const char bad : kBadCharacters) {
    if (bad != '\0' && static_cast<unsigned char>(bad) == c) return true;
  }
  return false;
}

constexpr std::array<EscapedByte, 256> make_escape_table() {
  std::array<EscapedByte, 256> table{};
  for (unsigned value = 0; value < 256; ++value) {
    const auto c = static_cast<unsigned char>(value);
    EscapedByte& entry = table[value];
    if (c <= 0x20) {
      entry = EscapedByte{{' ', 0, 0}, 1};
    } else if (c >= 0x80 || is_bad_character(c)) {
      entry = EscapedByte{{'$', kHexDigits[c >> 4], kHexDigits[c & 0xF]}, 3};
    } else {
      entry = EscapedByte{{static_cast<char>(c), 0, 0}, 1};
    }
  }
  return table;
}

constexpr std::array<EscapedByte, 256> kEscapeTable = make_escape_table();

constexpr std::array<int, 256> make_hex_table() {
  std::array<int, 256> table{};
  for (auto& value : table) value = -1;
  for (int i = 0; i < 16; ++i) {
    table[static_cast<unsigned char>(kHexDigits[i])] = i;
  }
  return table;
}

constexpr std::array<int, 256> kHexValue = make_hex_table();

// ===========================================================================
// Escaping and decoding cores (raw buffers, no allocation)
// ===========================================================================

// Writes the escaped form of [src, src + n) to `out` and returns the end of
// what it wrote. `out` needs room for 3 * n + 1 bytes: each entry is stored
// with four bytes, of which the last may be overwritten by the next one.
char* escape_into(const char* src, std::size_t n, char* out) {
  const auto* p = reinterpret_cast<const unsigned char*>(src);
  const auto* const end = p + n;
  for (; p != end; ++p) {
    const EscapedByte& entry = kEscapeTable[*p];
    std::memcpy(out, &entry, sizeof entry);
    out += entry.length;
  }
  return out;
}

int hex_pair_value(const char* p) {
  const int high = kHexValue[static_cast<unsigned char>(p[0])];
  const int low = kHexValue[static_cast<unsigned char>(p[1])];
  if ((high | low) < 0) return -1;
  return (high << 4) | low;
}

// Writes the decoded form of [src, src + n) to `out` (room for n bytes) and
// returns the end of what it wrote.
char* unescape_into(const char* src, std::size_t n, char* out) {
  static_assert(
      std::endian::native == std::endian::little || std::endian::native == std::endian::big,
      "the word-at-a-time search knows two byte orders");
  const char* p = src;
  const char* const end = src + n;
  // Eight bytes at a time up to the next dollar sign. The output never runs
  // ahead of the input, so storing a whole word at `out` stays inside the
  // n bytes even when only part of it is kept.
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighBits = 0x8080808080808080u;
  constexpr std::uint64_t kDollars = kOnes * static_cast<unsigned char>('$');
  while (end - p >= 8) {
    std::uint64_t word;
    std::memcpy(&word, p, sizeof word);
    std::memcpy(out, &word, sizeof word);
    // The word is read as little-endian, so that its lowest byte is the one
    // at the first address: a big-endian host swaps it.
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    const std::uint64_t x = word ^ kDollars;
    // Flags bytes that were '$'. Only the lowest flag is exact (the borrow
    // of a '$' may flag the byte above it), and only the lowest is used.
    const std::uint64_t dollars = (x - kOnes) & ~x & kHighBits;
    if (dollars == 0) {
      p += 8;
      out += 8;
      continue;
    }
    const auto skip = static_cast<std::size_t>(std::countr_zero(dollars) / 8);
    p += skip;
    out += skip;
    if (end - p > 2) {
      const int value = hex_pair_value(p + 1);
      if (value >= 0x20) {
        *out++ = static_cast<char>(value);
        p += 3;
        continue;
      }
    }
    // Not a sequence: the sign stands for itself and the bytes after it are
    // read again as ordinary input (so "$$41" gives "$A").
    *out++ = '$';
    ++p;
  }
  while (p != end) {
    if (*p == '$' && end - p > 2) {
      const int value = hex_pair_value(p + 1);
      if (value >= 0x20) {
        *out++ = static_cast<char>(value);
        p += 3;
        continue;
      }
    }
    *out++ = *p++;
  }
  return out;
}

// Inputs up to this length are escaped into a stack buffer, so that the
// result is allocated once at its exact length.
constexpr std::size_t kStackEscapeInput = 1024;

}  // namespace

// ===========================================================================
// File-name escaping
// ===========================================================================

std::string escape_filename_characters(tamu::string_view str) {
  // "." and ".." would name the directory itself and its parent.
  if (str == ".") return "$2e";
  if (str == "..") return "$2e$2e";

  // Short texts are escaped on the stack and allocated once at their exact
  // length. Longer ones go through the same buffer in pieces, appended to
  // room reserved for the worst case: still one allocation, and no page of
  // that room is touched before it is written.
  char buffer[3 * kStackEscapeInput + 1];
  if (str.size() <= kStackEscapeInput) {
    const char* const end = escape_into(str.data(), str.size(), buffer);
    return std::string(buffer, static_cast<std::size_t>(end - buffer));
  }
  std::string result;
  result.reserve(3 * str.size());
  for (std::size_t pos = 0; pos < str.size(); pos += kStackEscapeInput) {
    const std::size_t piece = std::min(kStackEscapeInput, str.size() - pos);
    const char* const end = escape_into(str.data() + pos, piece, buffer);
    result.append(buffer, static_cast<std::size_t>(end - buffer));
  }
  return result;
}

std::string unescape_filename_characters(tamu::string_view str) {
  std::string result(str.size(), '\0');
  const char* const end = unescape_into(str.data(), str.size(), result.data());
  result.resize(static_cast<std::size_t>(end - result.data()));
  return result;
}

namespace detail {

int hex2dec(char c) { return kHexValue[static_cast<unsigned char>(c)]; }

int hex2dec_2chars(tamu::string_view str) {
  if (str.size() < 2) return -1;
  return hex_pair_value(str.data());
}

}  // namespace detail

// ===========================================================================
// Brackets and delimiters
// ===========================================================================

tamu::optional<std::size_t> find_matching_bracket(tamu::string_view str, char closing_bracket) {
  if (str.size() < 2) return tamu::nullopt;
  const char opening_bracket = str[0];
  std::ptrdiff_t cnt = 1;
  for (std::size_t i = 1; i < str.size(); ++i) {
    if (str[i] == closing_bracket) {
      if (--cnt == 0) return i;
    } else if (str[i] == opening_bracket) {
      ++cnt;
    }
  }
  return tamu::nullopt;
}

std::vector<tamu::string_view> get_bracket_contents(tamu::string_view str, char opening_bracket,
                                                    char closing_bracket) {
  // The first elements are gathered on the stack (1 KiB), so that the usual
  // short result is allocated once at its exact size. Beyond them the count
  // is unknown until the end; the vector then grows geometrically rather than
  // scanning the text a second time.
  constexpr std::size_t kInline = 64;
  std::array<tamu::string_view, kInline> first;
  std::size_t count = 0;
  std::vector<tamu::string_view> result;

  std::ptrdiff_t cnt = 0;
  std::size_t start = 0;
  for (std::size_t i = 0; i < str.size(); ++i) {
    if (str[i] == opening_bracket) {
      if (cnt == 0) start = i + 1;
      ++cnt;
    } else if (str[i] == closing_bracket) {
      --cnt;
      if (cnt < 0) throw Error(tamu::cat("Bracket mismatch: \"", str, "\""));
      if (cnt == 0) {
        const tamu::string_view content = str.substr(start, i - start);
        if (count < kInline) {
          first[count] = content;
        } else {
          if (count == kInline) {
            result.reserve(4 * kInline);
            result.assign(first.begin(), first.end());
          }
          result.push_back(content);
        }
        ++count;
      }
    }
  }
  if (count <= kInline)
    result.assign(first.begin(), first.begin() + static_cast<std::ptrdiff_t>(count));
  return result;
}

std::string erase_from_delimiter_to_end(tamu::string_view str, char delim) {
  return std::string(str.substr(0, str.find(delim)));
}

std::string string_behind_last(tamu::string_view str, char delim) {
  const std::size_t pos = str.rfind(delim);
  if (pos == tamu::string_view::npos) return std::string();
  return std::string(str.substr(pos + 1));
}

// ===========================================================================
// Formatted strings
// ===========================================================================

namespace {

// The result of a failed vsnprintf pass: std::bad_alloc when memory ran out,
// the "<encoding error>" text for anything else.
std::string formatting_failure(const char* fmt) {
  if (errno == ENOMEM) throw std::bad_alloc();
  return tamu::cat("<encoding error>", fmt);
}

}  // namespace

std::string string_sprintf(const char* fmt, ...) {
  // Short outputs are formatted on the stack and copied into the result once;
  // only longer ones need the second pass, straight into the result.
  char buffer[256];
  std::va_list args;
  va_start(args, fmt);
  errno = 0;
  const int n = std::vsnprintf(buffer, sizeof buffer, fmt, args);
  va_end(args);
  if (n < 0) return formatting_failure(fmt);

  const auto length = static_cast<std::size_t>(n);
  if (length < sizeof buffer) return std::string(buffer, ::strnlen(buffer, length));

  std::string result(length, '\0');
  va_start(args, fmt);
  // Writes the terminating NUL over result[length], which already holds one.
  errno = 0;
  const int second = std::vsnprintf(result.data(), length + 1, fmt, args);
  va_end(args);
  // The second pass can fail where the first did not: glibc allocates work
  // space for some conversions, and memory may have run out in between.
  if (second < 0) return formatting_failure(fmt);
  result.resize(std::strlen(result.c_str()));
  return result;
}

}  // namespace vexo
