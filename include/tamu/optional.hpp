/// \file
/// tamu::optional: a value or nothing. This is the standard C++20 type.
#pragma once

#include <optional>

namespace tamu {

/// std::optional<T>.
template <typename T>
using optional = std::optional<T>;

using std::nullopt;  ///< The empty value, std::nullopt.

}  // namespace tamu
