#!/usr/bin/env bash
# Installs the library into a temporary prefix and builds three tiny consumers
# against it: with find_package, with add_subdirectory, and with pkg-config.
# Each one runs a call of every family.
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

echo "--- add_subdirectory"
cmake -S "$here/add_subdirectory" -B "$work/sub" -G Ninja >/dev/null
cmake --build "$work/sub" >/dev/null
(cd "$work" && "$work/sub/consumer")

echo "--- pkg-config"
libdir=$(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --variable=libdir vexo_util)
# shellcheck disable=SC2046
c++ -o "$work/pc_consumer" "$here/main.cpp" \
  $(PKG_CONFIG_PATH="$work/prefix/lib/pkgconfig" pkg-config --cflags --libs vexo_util) \
  -Wl,-rpath,"$libdir"
(cd "$work" && "$work/pc_consumer")
echo "all consumers built and ran"
