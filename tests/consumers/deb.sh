#!/usr/bin/env bash
# Builds the Debian packages, checks them with lintian (no error, no
# warning) and the symbols file's versions, installs them with dpkg under
# /usr, builds and runs the find_package and pkg-config consumers against the
# installed copy (no prefix or search path given), runs the installed tools
# and looks up their manual pages, then purges the packages and checks that
# nothing of them is left. Needs root and lintian; CI runs it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d)
packages=(libvexo-util-dev vexo-util-tools-dbgsym vexo-util-tools libvexo-util-doc)
purge() { dpkg -P "${packages[@]}" >/dev/null 2>&1 || true; }
trap 'purge; rm -rf "$work"' EXIT

cd "$root"
cmake --workflow --preset package >/dev/null
shopt -s nullglob
debs=(build/package/*.deb)
[ ${#debs[@]} -eq 4 ] || { echo "expected four packages, found: ${debs[*]}" >&2; exit 1; }
ddebs=(build/package/*-dbgsym_*.ddeb)
[ ${#ddebs[@]} -eq 2 ] || { echo "expected two -dbgsym packages, found: ${ddebs[*]}" >&2; exit 1; }
runtime=$(dpkg-deb -f build/package/libvexo-util[0-9]_*.deb Package)

echo "--- lintian"
lintian --fail-on error,warning "${debs[@]}" "${ddebs[@]}"
echo "lintian: no errors, no warnings"

echo "--- symbols file: each symbol tagged with the release that added it"
dpkg-deb --ctrl-tarfile build/package/libvexo-util[0-9]_*.deb | tar -xO ./symbols >"$work/symbols"
baseline=$(grep -o "elf-symbol name='[^']*'" tests/abi/libvexo_util.abi | sed "s/^elf-symbol name='//; s/'$//")
grep '^ ' "$work/symbols" | sed -E 's/^ (\(optional\))?//; s/@Base / /' | while read -r symbol version; do
  if grep -qxF "$symbol" <<<"$baseline" && [[ $version != 2.0.0 ]]; then
    echo "a symbol of the 2.0.0 baseline is tagged $version: $symbol" >&2
    exit 1
  fi
done
grep -q "^ _ZN4vexo4util7versionEv@Base 2\.1\.0$" "$work/symbols" ||
  { echo "vexo::util::version() is not tagged 2.1.0" >&2; exit 1; }
echo "$(grep -c ' 2\.0\.0$' "$work/symbols") symbols of 2.0.0, $(grep -c ' 2\.1\.0$' "$work/symbols") of 2.1.0," \
  "$(grep -Evc '^[^ ]| 2\.[01]\.0$' "$work/symbols") later"
for deb in build/package/libvexo-util-dev_*.deb build/package/libvexo-util[0-9]_*.deb; do
  [[ $(dpkg-deb -f "$deb" Multi-Arch) == same ]] || { echo "$deb: not Multi-Arch: same" >&2; exit 1; }
done

packages=(libvexo-util-dev vexo-util-tools-dbgsym vexo-util-tools libvexo-util-doc "$runtime-dbgsym"
  "$runtime")
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

echo "--- the tools, their manual pages and the reference"
printf abc | vexo-sha3sum | grep -qx '3a985da74fe225b2045c172d6bd390bd855f086e3e9d525b46bfe24511431532  -' ||
  { echo "vexo-sha3sum: wrong digest of 'abc'" >&2; exit 1; }
mkdir "$work/tree" && printf abc >"$work/tree/f"
(cd "$work" && vexo-hash-tree -j 2 -o "$work" tree >/dev/null && vexo-sha3sum -c "$work"/*-hash_tree.sha3-256)
# A program that uses only 2.0 functions depends on 2.0.0, not on the version packaged.
printf '#include "vexo/util/sha3.hpp"\nint main() { return vexo::sha3_256({})[0] == 0xa7 ? 0 : 1; }\n' \
  >"$work/old.cpp"
c++ -std=c++20 -o "$work/old" "$work/old.cpp" -lvexo_util && "$work/old"
depends=$(cd "$work" && mkdir -p debian && : >debian/control && dpkg-shlibdeps -O old)
echo "a 2.0 program: $depends"
[[ $depends == *"$runtime (>= 2.0.0)"* ]] || { echo "expected $runtime (>= 2.0.0)" >&2; exit 1; }
for page in vexo-sha3sum vexo-hash-tree; do
  man -w "$page" >/dev/null || { echo "no manual page for $page" >&2; exit 1; }
done
doc=/usr/share/doc/libvexo-util-doc/html
[[ -f $doc/index.html && -f $doc/namespaces.html && -f /usr/share/doc-base/libvexo-util-doc ]] ||
  { echo "the reference is not in $doc, or not registered with doc-base" >&2; exit 1; }

dpkg -P "${packages[@]}"
left=$(find /usr/include/vexo /usr/include/tamu /usr/lib/x86_64-linux-gnu /usr/lib/debug/.build-id \
  /usr/share/doc /usr/share/lintian/overrides /usr/bin /usr/share/man/man1 /usr/share/doc-base \
  -maxdepth 3 \
  \( -name 'libvexo_util*' -o -name vexo_util -o -name 'vexo_util.pc' -o -name vexo -o -name tamu \
  -o -name 'libvexo-util*' -o -name 'vexo-*' \) 2>/dev/null || true)
[ -z "$left" ] || { echo "left after purge: $left" >&2; exit 1; }
echo "packages installed, used and purged"
