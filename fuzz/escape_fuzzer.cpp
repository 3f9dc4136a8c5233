// Escaping and decoding of arbitrary bytes: the escaped text is well formed,
// has the promised length, and decodes back to the input.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "vexo/util/string_util.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool is_escaped_byte(unsigned char c) {
  constexpr char kBad[] = "/\\:?*\"'<>|$&";
  return c >= 0x80 || (c > 0x20 && std::memchr(kBad, c, sizeof kBad - 1) != nullptr);
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Decoding written as plainly as possible, to compare the real one with.
std::string reference_unescape(const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size();) {
    if (s[i] == '$' && i + 2 < s.size()) {
      const int high = hex_value(s[i + 1]);
      const int low = hex_value(s[i + 2]);
      if (high >= 0 && low >= 0 && high * 16 + low >= 0x20) {
        out += static_cast<char>(high * 16 + low);
        i += 3;
        continue;
      }
    }
    out += s[i++];
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::string escaped = vexo::escape_filename_characters(input);

  // Length: two more per escaped byte; "." and ".." are escaped whole.
  std::size_t escaped_bytes = 0;
  for (const char c : input)
    escaped_bytes += is_escaped_byte(static_cast<unsigned char>(c)) ? 1 : 0;
  if (input == "." || input == "..") escaped_bytes = input.size();
  check(escaped.size() == input.size() + 2 * escaped_bytes);

  // No byte below 0x20, and every dollar sign opens a sequence of 0x22 or more.
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    check(static_cast<unsigned char>(escaped[i]) >= 0x20);
    if (escaped[i] == '$') {
      check(i + 2 < escaped.size());
      const int high = hex_value(escaped[i + 1]);
      const int low = hex_value(escaped[i + 2]);
      check(high >= 0 && low >= 0 && high * 16 + low >= 0x22);
      check(vexo::detail::hex2dec_2chars(std::string_view(escaped).substr(i + 1)) ==
            high * 16 + low);
      i += 2;
    }
  }

  // Round trip: the input, with bytes below 0x20 turned into spaces.
  std::string expected = input;
  for (char& c : expected) {
    if (static_cast<unsigned char>(c) < 0x20) c = ' ';
  }
  const std::string decoded = vexo::unescape_filename_characters(escaped);
  check(decoded == expected);
  check(vexo::escape_filename_characters(decoded) == escaped);

  // Decoding arbitrary text: as the plain loop does it, never longer, and
  // unchanged when the text holds no dollar sign.
  const std::string raw_decoded = vexo::unescape_filename_characters(input);
  check(raw_decoded == reference_unescape(input));
  check(raw_decoded.size() <= input.size());
  if (input.find('$') == std::string::npos) check(raw_decoded == input);
  check(vexo::detail::hex2dec_2chars(input) >= -1);
  return 0;
}
