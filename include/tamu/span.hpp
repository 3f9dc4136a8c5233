/// \file
/// tamu::span: a non-owning view of contiguous elements, of dynamic or fixed
/// extent. This is the standard C++20 type.
#pragma once

#include <cstddef>
#include <span>

namespace tamu {

using std::dynamic_extent;  ///< The extent of a span whose size is known at run time.

/// std::span<T, Extent>.
template <typename T, std::size_t Extent = std::dynamic_extent>
using span = std::span<T, Extent>;

}  // namespace tamu
