/// \file
/// tamu::string_view: a non-owning view of characters. This is the standard
/// C++20 type; substr() past the end throws std::out_of_range.
#pragma once

#include <string_view>

namespace tamu {

/// std::string_view.
using string_view = std::string_view;

}  // namespace tamu
