#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds tiny consumers
# against it: with find_package, with add_subdirectory (shared, then static,
# each installed next to the library and run from there), and with
# pkg-config. Each one runs a call of every family.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

cmake -S "$root" -B "$work/lib" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DVEXO_BUILD_TESTS=OFF -DVEXO_BUILD_EXAMPLES=OFF >/dev/null
cmake --build "$work/lib"
cmake --install "$work/lib" --prefix "$work/prefix" >/dev/null

echo "--- find_package"
cmake -S "$here/find_package" -B "$work/fp" -G Ninja -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
cmake --build "$work/fp" >/dev/null
(cd "$work" && LD_LIBRARY_PATH="$work/prefix/lib" "$work/fp/consumer")

for shared in ON OFF; do
  echo "--- add_subdirectory, BUILD_SHARED_LIBS=$shared, no build type"
  sub=$work/sub-$shared
  cmake -S "$here/add_subdirectory" -B "$sub" -G Ninja -DBUILD_SHARED_LIBS=$shared >/dev/null
  cmake --build "$sub" >/dev/null
  (cd "$work" && "$sub/consumer")
  # The parent's build type stays unset; the library alone is optimised.
  grep -qx 'CMAKE_BUILD_TYPE:STRING=' "$sub/CMakeCache.txt" ||
    { echo "the library set the parent's CMAKE_BUILD_TYPE" >&2; exit 1; }
  ninja -C "$sub" -t commands consumer | grep 'src/time_util.cpp' | grep -q -- ' -O2 ' ||
    { echo "the library was not built optimised" >&2; exit 1; }
  if [[ $shared == ON ]]; then
    readelf -d "$sub/consumer" | grep -q 'NEEDED.*libvexo_util\.so\.' ||
      { echo "consumer does not load libvexo_util.so" >&2; exit 1; }
  else
    ! readelf -d "$sub/consumer" | grep -q 'libvexo_util' ||
      { echo "static build still needs libvexo_util.so" >&2; exit 1; }
  fi
  cmake --install "$sub" --prefix "$work/app-$shared" >/dev/null
  (cd "$work" && "$work/app-$shared/bin/consumer") >/dev/null ||
    { echo "the installed consumer does not run" >&2; exit 1; }
  echo "installed next to the library: runs"
done

echo "--- pkg-config"
export PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig"
libdir=$(pkg-config --variable=libdir vexo_util)
# shellcheck disable=SC2046
c++ -std=c++20 -o "$work/pc_consumer" "$here/main.cpp" $(pkg-config --cflags --libs vexo_util) \
  -Wl,-rpath,"$libdir"
(cd "$work" && "$work/pc_consumer")
# The .pc file requires C++20 but does not force it: a later standard chosen
# before its flags stays in force.
# shellcheck disable=SC2046
echo 'static_assert(__cplusplus > 202002L, "-std=c++23 was overridden");' |
  c++ -std=c++23 $(pkg-config --cflags vexo_util) -fsyntax-only -x c++ - ||
  { echo "the .pc file's flags override -std=c++23" >&2; exit 1; }
echo "all consumers built and ran"
