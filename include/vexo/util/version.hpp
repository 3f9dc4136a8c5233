/// \file
/// The version of vexo_util: the one place it is written. CMake reads it at
/// configure time for the project, the shared library's file name and
/// SOVERSION, the packages and the CMake and pkg-config files.
#pragma once

#include "vexo/util/export.hpp"

/// The major version: raised by a change that breaks the ABI. It is the
/// SOVERSION: major version 2 is libvexo_util.so.2.
#define VEXO_UTIL_VERSION_MAJOR 2
/// The minor version: raised by additions that keep the ABI.
#define VEXO_UTIL_VERSION_MINOR 5
/// The patch version: raised by fixes that change no interface.
#define VEXO_UTIL_VERSION_PATCH 1
/// The version as one number, major * 10000 + minor * 100 + patch (20000 for
/// 2.0.0), for comparisons in the preprocessor:
///
///     #if VEXO_UTIL_VERSION >= 20100
#define VEXO_UTIL_VERSION \
  (VEXO_UTIL_VERSION_MAJOR * 10000 + VEXO_UTIL_VERSION_MINOR * 100 + VEXO_UTIL_VERSION_PATCH)

namespace vexo::util {

/// Returns the version of the library that is loaded, "major.minor.patch" (as
/// "2.0.0"), which may be newer than the header a program was compiled with.
/// The text is static: never null, never freed. Never throws; may be called
/// from any thread.
///
/// Example:
///
///     if (std::strcmp(vexo::util::version(), "2.1.0") < 0) use_the_fallback();
[[nodiscard]] VEXO_API const char* version() noexcept;

}  // namespace vexo::util
