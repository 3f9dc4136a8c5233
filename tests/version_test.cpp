#include "vexo/util/version.hpp"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>

#include <string>

namespace {

// The header's macros, the number made of them, the text of the library that
// is loaded and the version CMake built it as must all name one version.
TEST(Version, HeaderLibraryAndBuildAgree) {
  const std::string from_macros = std::to_string(VEXO_UTIL_VERSION_MAJOR) + "." +
                                  std::to_string(VEXO_UTIL_VERSION_MINOR) + "." +
                                  std::to_string(VEXO_UTIL_VERSION_PATCH);
  ASSERT_NE(vexo::util::version(), nullptr);
  EXPECT_EQ(vexo::util::version(), from_macros);
  EXPECT_EQ(vexo::util::version(), std::string(VEXO_TEST_PROJECT_VERSION));
  EXPECT_EQ(VEXO_UTIL_VERSION, VEXO_UTIL_VERSION_MAJOR * 10000 + VEXO_UTIL_VERSION_MINOR * 100 +
                                   VEXO_UTIL_VERSION_PATCH);
  EXPECT_LT(VEXO_UTIL_VERSION_MINOR, 100);
  EXPECT_LT(VEXO_UTIL_VERSION_PATCH, 100);
}

// The shared library the program loaded is the file of that version
// (libvexo_util.so.<major>.<minor>.<patch>, reached through its SONAME link).
TEST(Version, LoadedLibraryFileCarriesTheVersion) {
  Dl_info info{};
  ASSERT_NE(dladdr(reinterpret_cast<const void*>(&vexo::util::version), &info), 0);
  ASSERT_NE(info.dli_fname, nullptr);
  char resolved[PATH_MAX];
  ASSERT_NE(realpath(info.dli_fname, resolved), nullptr) << info.dli_fname;
  const std::string path = resolved;
  const std::string expected = std::string("/libvexo_util.so.") + vexo::util::version();
  ASSERT_GE(path.size(), expected.size()) << path;
  EXPECT_EQ(path.substr(path.size() - expected.size()), expected) << path;
}

}  // namespace
