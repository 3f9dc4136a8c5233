/// \file
/// Symbol visibility for the shared library, and the attributes that the
/// public declarations share.
///
/// The library is built with hidden visibility; every public class and free
/// function is marked with VEXO_API so that it, and nothing else, is exported.
#pragma once

// The headers use C++20 (std::span, std::stop_token, concepts). They require
// it rather than force it: compile with -std=c++20 or a later standard.
#if __cplusplus < 202002L
#error "vexo_util needs C++20 or later: compile with -std=c++20 (or -std=c++23)"
#endif

#if defined(__GNUC__) || defined(__clang__)
/// Marks a class or function that the shared library exports (default
/// visibility); everything else in it is hidden.
#define VEXO_API __attribute__((visibility("default")))
#else
#define VEXO_API
#endif

/// Marks a parameter whose referent the result may point into, so that clang
/// warns (-Wdangling) when the result outlives a temporary passed there. Other
/// compilers ignore it.
#if defined(__has_cpp_attribute)
#if __has_cpp_attribute(clang::lifetimebound)
#define VEXO_LIFETIMEBOUND [[clang::lifetimebound]]
#endif
#endif
#ifndef VEXO_LIFETIMEBOUND
#define VEXO_LIFETIMEBOUND
#endif
