#include "vexo/util/string_util.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tamu/cat.hpp"
#include "vexo/util/exceptions.hpp"

#define VEXO_TEST_COUNT_ALLOCATIONS 1
#include "test_support.hpp"

namespace {

using vexo::escape_filename_characters;
using vexo::unescape_filename_characters;

std::string byte(unsigned value) { return std::string(1, static_cast<char>(value)); }

// The escaped form of one byte, written from the rules rather than from the
// library's tables.
std::string expected_escape(unsigned value) {
  static const std::string kBad = "/\\:?*\"'<>|$&";
  if (value <= 0x20) return " ";
  if (value >= 0x80 || kBad.find(static_cast<char>(value)) != std::string::npos) {
    char text[16];
    std::snprintf(text, sizeof text, "$%02x", value);
    return text;
  }
  return byte(value);
}

// Decoding as a plain loop over indices with a linear digit search, to check
// the block-copying decoder against.
std::string reference_unescape(const std::string& s) {
  static const std::string kDigits = "0123456789abcdef";
  std::string out;
  std::size_t i = 0;
  while (i < s.size()) {
    if (s[i] == '$' && i + 2 < s.size()) {
      const auto high = kDigits.find(s[i + 1]);
      const auto low = kDigits.find(s[i + 2]);
      if (high != std::string::npos && low != std::string::npos && high * 16 + low >= 0x20) {
        out += static_cast<char>(high * 16 + low);
        i += 3;
        continue;
      }
    }
    out += s[i];
    ++i;
  }
  return out;
}

// Checks the invariants of an escaped text produced from `input`.
void expect_well_formed(const std::string& input, const std::string& escaped) {
  std::size_t escaped_bytes = 0;
  for (const char c : input) {
    const auto u = static_cast<unsigned char>(c);
    if (u > 0x20 && expected_escape(u).size() == 3) ++escaped_bytes;
  }
  if (input == "." || input == "..") escaped_bytes = input.size();
  EXPECT_EQ(escaped.size(), input.size() + 2 * escaped_bytes);
  for (std::size_t i = 0; i < escaped.size(); ++i) {
    const auto u = static_cast<unsigned char>(escaped[i]);
    ASSERT_GE(u, 0x20u) << "at " << i;
    ASSERT_LT(u, 0x80u) << "at " << i;
    if (escaped[i] == '$') {
      ASSERT_LT(i + 2, escaped.size());
      const int value = vexo::detail::hex2dec_2chars(tamu::string_view(escaped).substr(i + 1));
      ASSERT_GE(value, 0x22) << "at " << i;
      i += 2;
    } else {
      ASSERT_EQ(std::string("/\\:?*\"'<>|&").find(escaped[i]), std::string::npos) << "at " << i;
    }
  }
}

std::string random_bytes(std::mt19937& rng, std::size_t length, unsigned low, unsigned high) {
  std::uniform_int_distribution<unsigned> dist(low, high);
  std::string s(length, '\0');
  for (char& c : s) c = static_cast<char>(dist(rng));
  return s;
}

// ---------------------------------------------------------------------------
// Escaping
// ---------------------------------------------------------------------------

TEST(EscapeFilename, WorkedExamples) {
  EXPECT_EQ(escape_filename_characters("data/run 7: \"x\"&y"), "data$2frun 7$3a $22x$22$26y");
  EXPECT_EQ(escape_filename_characters("C:\\Temp\\*.txt"), "C$3a$5cTemp$5c$2a.txt");
  EXPECT_EQ(escape_filename_characters("50% of $5"), "50% of $245");
  EXPECT_EQ(escape_filename_characters("\x47\x72\xC3\xBC\xC3\x9F\x65"), "Gr$c3$bc$c3$9fe");
  EXPECT_EQ(escape_filename_characters("a\tb"), "a b");
}

TEST(EscapeFilename, TheTwelveCharacters) {
  const struct {
    char c;
    const char* sequence;
  } table[] = {{'/', "$2f"}, {'\\', "$5c"}, {':', "$3a"},  {'?', "$3f"},
               {'*', "$2a"}, {'"', "$22"},  {'\'', "$27"}, {'<', "$3c"},
               {'>', "$3e"}, {'|', "$7c"},  {'$', "$24"},  {'&', "$26"}};
  for (const auto& row : table) {
    EXPECT_EQ(escape_filename_characters(std::string(1, row.c)), row.sequence) << row.c;
    EXPECT_EQ(unescape_filename_characters(row.sequence), std::string(1, row.c)) << row.c;
  }
}

TEST(EscapeFilename, EveryByteValue) {
  for (unsigned value = 0; value < 256; ++value) {
    SCOPED_TRACE(value);
    const std::string expected = expected_escape(value);
    // A lone dot is the directory itself (see DotAndDotDotAreEscaped).
    EXPECT_EQ(escape_filename_characters(byte(value)), value == '.' ? "$2e" : expected);
    // Neighbours must neither be swallowed nor change the mapping.
    EXPECT_EQ(escape_filename_characters(tamu::cat("a", byte(value), "z")), "a" + expected + "z");
    EXPECT_EQ(unescape_filename_characters(expected), value < 0x20 ? " " : byte(value));
  }
}

TEST(EscapeFilename, EdgeCases) {
  EXPECT_EQ(escape_filename_characters(""), "");
  EXPECT_EQ(unescape_filename_characters(""), "");
  EXPECT_EQ(escape_filename_characters(std::string("\x01\x1f\n\0\r", 5)), "     ");
  EXPECT_EQ(escape_filename_characters("\x7f%.~"), "\x7f%.~");
  // A two-byte UTF-8 character becomes six characters.
  EXPECT_EQ(escape_filename_characters("\xC3\xA9"), "$c3$a9");
}

// "." and ".." are the directory and its parent: they must not come out as
// themselves, or a path built from escaped text could leave its directory.
TEST(EscapeFilename, DotAndDotDotAreEscaped) {
  EXPECT_EQ(escape_filename_characters("."), "$2e");
  EXPECT_EQ(escape_filename_characters(".."), "$2e$2e");
  EXPECT_EQ(unescape_filename_characters("$2e"), ".");
  EXPECT_EQ(unescape_filename_characters("$2e$2e"), "..");
  EXPECT_EQ(escape_filename_characters(unescape_filename_characters("$2e$2e")), "$2e$2e");
  // Only those two whole texts: every other dot is copied.
  EXPECT_EQ(escape_filename_characters("..."), "...");
  EXPECT_EQ(escape_filename_characters(".hidden"), ".hidden");
  EXPECT_EQ(escape_filename_characters("../x"), "..$2fx");
  EXPECT_EQ(escape_filename_characters(". "), ". ");
  EXPECT_EQ(escape_filename_characters(tamu::string_view("..x", 2)), "$2e$2e");
  expect_well_formed(".", escape_filename_characters("."));
  expect_well_formed("..", escape_filename_characters(".."));
}

// Inputs longer than the stack buffer take another path; check on both sides
// of the boundary, with every byte escaped (the worst case for room).
TEST(EscapeFilename, LongInputsAroundTheBufferSize) {
  std::mt19937 rng(7);
  for (const std::size_t length : {1023u, 1024u, 1025u, 4096u, 100000u}) {
    SCOPED_TRACE(length);
    const std::string worst(length, '\xff');
    const std::string escaped = escape_filename_characters(worst);
    ASSERT_EQ(escaped.size(), 3 * length);
    for (std::size_t i = 0; i < escaped.size(); i += 3) ASSERT_EQ(escaped.substr(i, 3), "$ff");
    EXPECT_EQ(unescape_filename_characters(escaped), worst);

    const std::string mixed = random_bytes(rng, length, 0, 255);
    std::string expected;
    for (const char c : mixed) expected += expected_escape(static_cast<unsigned char>(c));
    EXPECT_EQ(escape_filename_characters(mixed), expected);
  }
}

// ---------------------------------------------------------------------------
// Decoding
// ---------------------------------------------------------------------------

TEST(UnescapeFilename, WorkedExamples) {
  EXPECT_EQ(unescape_filename_characters("data$2frun 7$3a $22x$22$26y"), "data/run 7: \"x\"&y");
  EXPECT_EQ(unescape_filename_characters("$2F"), "$2F");
  EXPECT_EQ(unescape_filename_characters("$0a"), "$0a");
  EXPECT_EQ(unescape_filename_characters("$1f"), "$1f");
  EXPECT_EQ(unescape_filename_characters("$zz"), "$zz");
  EXPECT_EQ(unescape_filename_characters("a$4"), "a$4");
  EXPECT_EQ(unescape_filename_characters("100$"), "100$");
  EXPECT_EQ(unescape_filename_characters("$$41"), "$A");
  EXPECT_EQ(unescape_filename_characters("$20"), " ");
  EXPECT_EQ(unescape_filename_characters("$$$"), "$$$");
  EXPECT_EQ(unescape_filename_characters("$ff$00$7f"), "\xff$00\x7f");
}

TEST(UnescapeFilename, TextWithoutDollarIsUnchanged) {
  const std::string text("a\x01\tb\0c\x7f\xff", 8);
  EXPECT_EQ(unescape_filename_characters(text), text);
}

TEST(UnescapeFilename, MatchesReferenceOnRandomText) {
  // A small alphabet makes dollar signs and near-miss sequences common.
  const std::string alphabet = "$$$0123456789abcdefAFgz \x01\xc3";
  std::mt19937 rng(11);
  std::uniform_int_distribution<std::size_t> pick(0, alphabet.size() - 1);
  std::uniform_int_distribution<std::size_t> length(0, 40);
  for (int round = 0; round < 20000; ++round) {
    std::string s(length(rng), '\0');
    for (char& c : s) c = alphabet[pick(rng)];
    ASSERT_EQ(unescape_filename_characters(s), reference_unescape(s)) << s;
  }
}

// ---------------------------------------------------------------------------
// Round trips
// ---------------------------------------------------------------------------

TEST(EscapeRoundTrip, RandomTexts) {
  std::mt19937 rng(3);
  std::uniform_int_distribution<std::size_t> length(0, 64);
  for (int round = 0; round < 5000; ++round) {
    // Without bytes below 0x20 decoding gives the text back exactly.
    const std::string clean = random_bytes(rng, length(rng), 0x20, 0xff);
    const std::string escaped = escape_filename_characters(clean);
    expect_well_formed(clean, escaped);
    ASSERT_EQ(unescape_filename_characters(escaped), clean);

    // With them, each comes back as a space; escaping again is stable.
    const std::string any = random_bytes(rng, length(rng), 0, 0xff);
    const std::string escaped_any = escape_filename_characters(any);
    expect_well_formed(any, escaped_any);
    std::string spaced = any;
    for (char& c : spaced) {
      if (static_cast<unsigned char>(c) < 0x20) c = ' ';
    }
    ASSERT_EQ(unescape_filename_characters(escaped_any), spaced);
    ASSERT_EQ(escape_filename_characters(unescape_filename_characters(escaped_any)), escaped_any);
  }
}

// ---------------------------------------------------------------------------
// Hexadecimal digits
// ---------------------------------------------------------------------------

TEST(HexDigits, Hex2DecEveryByte) {
  const std::string digits = "0123456789abcdef";
  for (unsigned value = 0; value < 256; ++value) {
    const auto pos = digits.find(static_cast<char>(value));
    const int expected = pos == std::string::npos ? -1 : static_cast<int>(pos);
    EXPECT_EQ(vexo::detail::hex2dec(static_cast<char>(value)), expected) << value;
  }
  EXPECT_EQ(vexo::detail::hex2dec('0'), 0);
  EXPECT_EQ(vexo::detail::hex2dec('f'), 15);
  EXPECT_EQ(vexo::detail::hex2dec('A'), -1);
  EXPECT_EQ(vexo::detail::hex2dec('F'), -1);
  EXPECT_EQ(vexo::detail::hex2dec('g'), -1);
  EXPECT_EQ(vexo::detail::hex2dec(' '), -1);
}

TEST(HexDigits, Hex2Dec2Chars) {
  using vexo::detail::hex2dec_2chars;
  EXPECT_EQ(hex2dec_2chars("ff"), 255);
  EXPECT_EQ(hex2dec_2chars("7e"), 126);
  EXPECT_EQ(hex2dec_2chars("00"), 0);
  EXPECT_EQ(hex2dec_2chars("g0"), -1);
  EXPECT_EQ(hex2dec_2chars("0G"), -1);
  EXPECT_EQ(hex2dec_2chars("Ff"), -1);
  EXPECT_EQ(hex2dec_2chars("abc"), 171);
}

// A view shorter than two characters is not read past its end, even when the
// bytes behind it would be valid digits.
TEST(HexDigits, Hex2Dec2CharsShortViews) {
  using vexo::detail::hex2dec_2chars;
  const char digits[] = "ab";
  EXPECT_EQ(hex2dec_2chars(tamu::string_view(digits, 1)), -1);
  EXPECT_EQ(hex2dec_2chars(tamu::string_view(digits, 0)), -1);
  EXPECT_EQ(hex2dec_2chars(tamu::string_view()), -1);
  EXPECT_EQ(hex2dec_2chars(tamu::string_view(digits, 2)), 171);
}

// ---------------------------------------------------------------------------
// Brackets and delimiters
// ---------------------------------------------------------------------------

TEST(FindMatchingBracket, Examples) {
  using vexo::find_matching_bracket;
  EXPECT_EQ(find_matching_bracket("(a(b)c)d", ')'), 6u);
  EXPECT_EQ(find_matching_bracket("(abc", ')'), tamu::nullopt);
  EXPECT_EQ(find_matching_bracket("()", ')'), 1u);
  EXPECT_EQ(find_matching_bracket("", ')'), tamu::nullopt);
  EXPECT_EQ(find_matching_bracket("(", ')'), tamu::nullopt);
  EXPECT_EQ(find_matching_bracket(")", ')'), tamu::nullopt);
  EXPECT_EQ(find_matching_bracket("\"abc\"", '"'), 4u);
  EXPECT_EQ(find_matching_bracket("x)y", ')'), 1u);
  EXPECT_EQ(find_matching_bracket("[(])]", ']'), 2u);
  // The match is searched inside the view only.
  EXPECT_EQ(find_matching_bracket(tamu::string_view("(ab)", 3), ')'), tamu::nullopt);
}

TEST(GetBracketContents, Examples) {
  using vexo::get_bracket_contents;
  using Views = std::vector<tamu::string_view>;
  EXPECT_EQ(get_bracket_contents("f(a, g(b)) + (c)", '(', ')'), (Views{"a, g(b)", "c"}));
  EXPECT_EQ(get_bracket_contents("()", '(', ')'), (Views{""}));
  EXPECT_EQ(get_bracket_contents("abc", '(', ')'), Views{});
  EXPECT_EQ(get_bracket_contents("(a", '(', ')'), Views{});
  EXPECT_EQ(get_bracket_contents("(a)(b", '(', ')'), (Views{"a"}));
  EXPECT_EQ(get_bracket_contents("[x](y)", '(', ')'), (Views{"y"}));
  EXPECT_EQ(get_bracket_contents("", '(', ')'), Views{});
  for (const char* text : {"", "|", "|a|", "||b|c|", "x|y"}) {
    EXPECT_EQ(get_bracket_contents(text, '|', '|'), Views{}) << text;
  }
}

TEST(GetBracketContents, ViewsPointIntoTheInput) {
  const std::string text = "<one><t<w>o><>";
  const auto views = vexo::get_bracket_contents(text, '<', '>');
  ASSERT_EQ(views.size(), 3u);
  EXPECT_EQ(views[0].data(), text.data() + 1);
  EXPECT_EQ(views[1].data(), text.data() + 6);
  EXPECT_EQ(views[1], "t<w>o");
  EXPECT_EQ(views[2].data(), text.data() + 13);
  EXPECT_TRUE(views[2].empty());
}

// Many elements go past the inline room and must all come back in order.
TEST(GetBracketContents, ManyElements) {
  for (const std::size_t count : {63u, 64u, 65u, 1000u}) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text.append("(").append(std::to_string(i)).append(")");
    const auto views = vexo::get_bracket_contents(text, '(', ')');
    ASSERT_EQ(views.size(), count);
    for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(views[i], std::to_string(i));
  }
}

TEST(GetBracketContents, MismatchMessages) {
  const auto message_for = [](tamu::string_view text) {
    return vexo::test::error_message([&] { vexo::get_bracket_contents(text, '(', ')'); });
  };
  EXPECT_EQ(message_for("a)b"), "Bracket mismatch: \"a)b\"");
  EXPECT_EQ(message_for("(a))"), "Bracket mismatch: \"(a))\"");
  EXPECT_EQ(message_for("(x)(y))(z)"), "Bracket mismatch: \"(x)(y))(z)\"");
  EXPECT_EQ(message_for(")"), "Bracket mismatch: \")\"");
  EXPECT_EQ(message_for("(a)"), "<no vexo::Error thrown>");
  EXPECT_THROW(vexo::get_bracket_contents("])", '[', ']'), std::runtime_error);
}

TEST(Delimiters, EraseFromDelimiterToEnd) {
  using vexo::erase_from_delimiter_to_end;
  EXPECT_EQ(erase_from_delimiter_to_end("key=value=x", '='), "key");
  EXPECT_EQ(erase_from_delimiter_to_end("abc", '='), "abc");
  EXPECT_EQ(erase_from_delimiter_to_end("=abc", '='), "");
  EXPECT_EQ(erase_from_delimiter_to_end("", '='), "");
  EXPECT_EQ(erase_from_delimiter_to_end("abc=", '='), "abc");
  EXPECT_EQ(erase_from_delimiter_to_end(tamu::string_view("ab=c", 2), '='), "ab");
}

TEST(Delimiters, StringBehindLast) {
  using vexo::string_behind_last;
  EXPECT_EQ(string_behind_last("/usr/lib/file.txt", '/'), "file.txt");
  EXPECT_EQ(string_behind_last("file.txt", '/'), "");
  EXPECT_EQ(string_behind_last("dir/", '/'), "");
  EXPECT_EQ(string_behind_last("a.b.c", '.'), "c");
  EXPECT_EQ(string_behind_last("", '.'), "");
  EXPECT_EQ(string_behind_last(".x", '.'), "x");
  EXPECT_EQ(string_behind_last(tamu::string_view("a.b.c", 4), '.'), "");
}

// ---------------------------------------------------------------------------
// Formatted strings
// ---------------------------------------------------------------------------

TEST(StringSprintf, Formats) {
  EXPECT_EQ(vexo::string_sprintf("%s-%03d", "take", 7), "take-007");
  EXPECT_EQ(vexo::string_sprintf("%.3f|%x|%c|%%", 2.5, 255u, 'q'), "2.500|ff|q|%");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-zero-length"
  EXPECT_EQ(vexo::string_sprintf(""), "");
#pragma GCC diagnostic pop
}

TEST(StringSprintf, LengthsAroundTheFirstBuffer) {
  for (const std::size_t length : {254u, 255u, 256u, 257u, 511u, 100000u}) {
    SCOPED_TRACE(length);
    // Half from the format, half from an argument, so both must be expanded.
    const std::string arg(length - 4, 'x');
    const std::string result = vexo::string_sprintf("<%s%02d>", arg.c_str(), 42);
    ASSERT_EQ(result.size(), length);
    EXPECT_EQ(result, "<" + arg + "42>");
  }
  const std::string big = vexo::string_sprintf("%100000d", 5);
  ASSERT_EQ(big.size(), 100000u);
  EXPECT_EQ(big.find_first_not_of(' '), 99999u);
  EXPECT_EQ(big.back(), '5');
}

TEST(StringSprintf, OutputEndsAtItsFirstNul) {
  EXPECT_EQ(vexo::string_sprintf("a%cb", 0), "a");
  EXPECT_EQ(vexo::string_sprintf("%c", 0), "");
  // The same cut on the long path.
  const std::string head(300, 'h');
  EXPECT_EQ(vexo::string_sprintf("%s%c%s", head.c_str(), 0, head.c_str()), head);
  EXPECT_EQ(vexo::string_sprintf("%s%c", head.c_str(), 0), head);
}

TEST(StringSprintf, EncodingErrorGivesTheFormat) {
  // In the C locale a wide character above 0x7F has no multibyte form, so
  // vsnprintf fails.
  ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
  EXPECT_EQ(vexo::string_sprintf("%ls", L"\u00e9"), "<encoding error>%ls");
  EXPECT_EQ(vexo::string_sprintf("n=%d %ls", 3, L"\u4e2d"), "<encoding error>n=%d %ls");
  // A representable wide text is formatted as usual.
  EXPECT_EQ(vexo::string_sprintf("%ls", L"plain"), "plain");
}

#if !defined(VEXO_TEST_ASAN) && !defined(VEXO_TEST_TSAN)
// glibc formats "%.*f" with a large precision in heap work space, so with
// little address space left the second pass can fail where the first did
// not. Under a ladder of address-space limits, each call must give the whole
// text or throw std::bad_alloc, never a short or empty text. Runs in a child
// process, whose limit cannot hurt the test program. (The sanitizers reserve
// far more address space than any limit here.)
TEST(StringSprintf, OutOfMemoryNeverGivesAWrongText) {
  if (vexo::test::emulated()) {
    GTEST_SKIP() << "RLIMIT_AS would bound the emulator's address space, not the program's";
  }
  constexpr int kPrecision = 4 << 20;  // about 20 MiB of glibc work space
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) {
    long pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%ld", &pages) != 1) _exit(10);
      std::fclose(statm);
    }
    rlimit limit{};
    if (getrlimit(RLIMIT_AS, &limit) != 0) _exit(11);
    int refused = 0;
    int whole = 0;
    for (rlim_t extra = 4; extra <= 64; extra += 2) {
      limit.rlim_cur = static_cast<rlim_t>(pages) * 4096 + (extra << 20);
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(12);
      try {
        const std::string text = vexo::string_sprintf("%.*f", kPrecision, 1.0);
        if (text.size() != static_cast<std::size_t>(kPrecision) + 2 || text.back() != '0') _exit(1);
        ++whole;
      } catch (const std::bad_alloc&) {
        ++refused;
      }
    }
    // Both outcomes must have happened, or the ladder missed the window.
    _exit(refused > 0 && whole > 0 ? 0 : 2);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: a wrong text; 2: the limits missed the window";
}
#endif

// ---------------------------------------------------------------------------
// Allocations: one for each result, whatever the length
// ---------------------------------------------------------------------------

#if defined(VEXO_TEST_ALLOCATIONS_COUNTED)
using vexo::test::allocations_in;

TEST(StringUtilAllocations, OneForEachResult) {
  const std::string name =
      "2024-06-01 Gr\xC3\xBC\xC3\x9F"
      "e/IMG_0042: final & (copy).jpg";
  std::string long_text;
  while (long_text.size() < 100000) long_text += name;
  const std::string long_escaped = escape_filename_characters(long_text);
  const std::string long_arg(100000, 'x');
  const std::string behind = ";" + long_text;
  std::string brackets;
  for (int i = 0; i < 64; ++i) brackets.append("(").append(long_arg, 0, 100).append(")");
  std::string out;
  std::vector<tamu::string_view> views;

  EXPECT_EQ(allocations_in([&] { out = escape_filename_characters(name); }), 1);
  EXPECT_EQ(allocations_in([&] { out = escape_filename_characters(long_text); }), 1);
  EXPECT_EQ(allocations_in([&] { out = unescape_filename_characters(long_escaped); }), 1);
  EXPECT_EQ(allocations_in([&] { out = vexo::string_sprintf("%s: %d of %d", name.c_str(), 3, 9); }),
            1);
  EXPECT_EQ(allocations_in([&] { out = vexo::string_sprintf("%s", long_arg.c_str()); }), 1);
  EXPECT_EQ(allocations_in([&] { out = vexo::erase_from_delimiter_to_end(long_text, '\x01'); }), 1);
  EXPECT_EQ(allocations_in([&] { out = vexo::string_behind_last(behind, ';'); }), 1);
  // Up to 64 elements; more are gathered with amortised regrowth.
  EXPECT_EQ(allocations_in([&] { views = vexo::get_bracket_contents(brackets, '(', ')'); }), 1);
  EXPECT_EQ(views.size(), 64u);
  EXPECT_EQ(allocations_in([&] { views = vexo::get_bracket_contents("no brackets", '(', ')'); }),
            0);
  EXPECT_EQ(views.size(), 0u);
}
#endif

// ---------------------------------------------------------------------------
// Threads (for the sanitizer builds: nothing here may share state)
// ---------------------------------------------------------------------------

TEST(StringUtilThreads, ConcurrentCallsAgree) {
  const std::string text = "data/run 7: \"x\"&y \xC3\xBC";
  const std::string escaped = escape_filename_characters(text);
  std::vector<std::thread> threads;
  std::vector<int> failures(4, 0);
  for (std::size_t t = 0; t < failures.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 2000; ++i) {
        if (escape_filename_characters(text) != escaped ||
            unescape_filename_characters(escaped) != text ||
            vexo::string_sprintf("%d:%s", i, "x") != std::to_string(i) + ":x") {
          ++failures[t];
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  for (const int f : failures) EXPECT_EQ(f, 0);
}

}  // namespace
