#!/usr/bin/env bash
# Builds the Debian packages, checks them with lintian (no error, no
# warning), installs them with dpkg under /usr, builds and runs the
# find_package and pkg-config consumers against the installed copy (no prefix
# or search path given), then purges the packages and checks that nothing of
# them is left. Needs root and lintian; CI runs it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
packages=(libvexo-util-dev)
purge() { dpkg -P "${packages[@]}" >/dev/null 2>&1 || true; }
trap 'purge; rm -rf "$work"' EXIT

cd "$root"
cmake --workflow --preset package >/dev/null
shopt -s nullglob
debs=(build/package/*.deb)
[ ${#debs[@]} -eq 2 ] || { echo "expected two packages, found: ${debs[*]}" >&2; exit 1; }
ddebs=(build/package/*-dbgsym_*.ddeb)
[ ${#ddebs[@]} -eq 1 ] || { echo "expected one -dbgsym package, found: ${ddebs[*]}" >&2; exit 1; }
runtime=$(dpkg-deb -f build/package/libvexo-util[0-9]_*.deb Package)

echo "--- lintian"
lintian --fail-on error,warning "${debs[@]}" "${ddebs[@]}"
echo "lintian: no errors, no warnings"

packages=(libvexo-util-dev "$runtime-dbgsym" "$runtime")
dpkg -i "${debs[@]}" "${ddebs[@]}"
[[ $(pkg-config --variable=includedir vexo_util) == /usr/include ]] ||
  { echo "vexo_util.pc: includedir is not /usr/include" >&2; exit 1; }

echo "--- find_package against /usr"
cmake -S "$here/find_package" -B "$work/fp" -G Ninja >/dev/null
cmake --build "$work/fp" >/dev/null
(cd "$work" && "$work/fp/consumer")

echo "--- pkg-config against /usr"
# shellcheck disable=SC2046
c++ -std=c++20 -o "$work/pc_consumer" "$here/main.cpp" $(pkg-config --cflags --libs vexo_util)
(cd "$work" && "$work/pc_consumer")

dpkg -P "${packages[@]}"
left=$(find /usr/include/vexo /usr/include/tamu /usr/lib/x86_64-linux-gnu /usr/lib/debug/.build-id \
  /usr/share/doc /usr/share/lintian/overrides -maxdepth 3 \
  \( -name 'libvexo_util*' -o -name vexo_util -o -name 'vexo_util.pc' -o -name vexo -o -name tamu \
  -o -name 'libvexo-util*' \) 2>/dev/null || true)
[ -z "$left" ] || { echo "left after purge: $left" >&2; exit 1; }
echo "packages installed, used and purged"
