// The version of the loaded library, as text.
#include "vexo/util/version.hpp"

#define VEXO_UTIL_STRINGIFY_(x) #x
#define VEXO_UTIL_STRINGIFY(x) VEXO_UTIL_STRINGIFY_(x)

namespace vexo::util {

namespace {

// Made from the library's own copy of the header, so that the text names the
// library that is loaded, not the header a caller was compiled with.
constexpr char kVersion[] = VEXO_UTIL_STRINGIFY(VEXO_UTIL_VERSION_MAJOR) "." VEXO_UTIL_STRINGIFY(
    VEXO_UTIL_VERSION_MINOR) "." VEXO_UTIL_STRINGIFY(VEXO_UTIL_VERSION_PATCH);

}  // namespace

const char* version() noexcept { return kVersion; }

}  // namespace vexo::util
