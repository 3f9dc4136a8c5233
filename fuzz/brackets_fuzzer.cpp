// The bracket and delimiter functions on arbitrary text and bracket
// characters: no crash, every view inside the input, and the mismatch error
// exactly when a closing bracket comes with nothing open.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "vexo/util/exceptions.hpp"
#include "vexo/util/string_util.hpp"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

bool inside(std::string_view view, std::string_view whole) {
  return view.data() >= whole.data() && view.data() + view.size() <= whole.data() + whole.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  // The first byte picks the brackets: the usual pair half of the time, so
  // that interesting nesting turns up quickly, otherwise the next two bytes.
  char opening = static_cast<char>(data[1]);
  char closing = static_cast<char>(data[2]);
  if (data[0] & 1) {
    opening = '(';
    closing = ')';
  }
  const std::string text(reinterpret_cast<const char*>(data + 3), size - 3);
  const std::string_view str(text);

  // A closing bracket with nothing open, counted the same way (opening first).
  bool unbalanced = false;
  long depth = 0;
  for (const char c : str) {
    if (c == opening) {
      ++depth;
    } else if (c == closing && --depth < 0) {
      unbalanced = true;
      break;
    }
  }

  bool threw = false;
  try {
    const auto views = vexo::get_bracket_contents(str, opening, closing);
    const char* previous_end = str.data();
    for (const auto& view : views) {
      check(inside(view, str));
      check(view.data() > str.data() && view.data()[-1] == opening);
      check(view.data() + view.size() < str.data() + str.size() &&
            view.data()[view.size()] == closing);
      check(view.data() > previous_end);  // in order, not overlapping
      previous_end = view.data() + view.size();
    }
    if (opening == closing) check(views.empty());
  } catch (const vexo::Error& e) {
    threw = true;
    // The message holds the whole text; as a C string it ends at a NUL.
    const std::string full = "Bracket mismatch: \"" + text + "\"";
    check(e.get_message() == full.substr(0, full.find('\0')));
  }
  check(threw == unbalanced);

  const auto match = vexo::find_matching_bracket(str, closing);
  if (match) {
    check(*match >= 1 && *match < str.size());
    check(str[*match] == closing);
  }

  const std::string head = vexo::erase_from_delimiter_to_end(str, closing);
  check(str.substr(0, head.size()) == head);
  check(head.size() == str.size() || str[head.size()] == closing);
  const std::string tail = vexo::string_behind_last(str, closing);
  check(tail.size() <= str.size());
  check(str.substr(str.size() - tail.size()) == tail);
  check(tail.find(closing) == std::string::npos);
  if (str.find(closing) == std::string_view::npos) {
    check(tail.empty() && head == text);
  } else {
    check(str[str.size() - tail.size() - 1] == closing);
  }
  return 0;
}
