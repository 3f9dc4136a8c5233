#!/usr/bin/env bash
# Compares the library's exported interface with the checked-in list.
#
#   exported_symbols_test.sh LIBRARY LIST            check (exit 1 on any change)
#   exported_symbols_test.sh --update LIBRARY LIST   rewrite LIST from LIBRARY
#
# The interface is every defined dynamic symbol of LIBRARY in the namespaces
# vexo and tamu, plus the typeinfo and vtable entries of their classes (those
# of vexo::Error). Symbols are selected by their mangled names, so standard
# library templates instantiated over a vexo type (std::deque<Task>::...) are
# left out: which of those a compiler emits changes with the compiler and the
# build type. The names are then demangled, as `nm -D --defined-only -C` shows
# them, sorted and made unique (constructor and destructor variants coincide).
set -euo pipefail

update=0
if [[ "${1:-}" == "--update" ]]; then
  update=1
  shift
fi
if [[ $# -ne 2 ]]; then
  echo "usage: $0 [--update] LIBRARY LIST" >&2
  exit 2
fi
library=$1
list=$2

actual=$(mktemp)
trap 'rm -f "$actual"' EXIT

# _ZN / _ZNK ... 4vexo: a name in vexo (member functions with qualifiers too);
# _ZTI/_ZTS/_ZTV: typeinfo, typeinfo name, vtable; _ZZ/_ZGVZ: function-local
# statics and their guards.
nm -D --defined-only "$library" |
  awk '{ print $NF }' |
  grep -E '^_Z(N[KVRO]*|T[ISV]N|ZN[KVRO]*|GVZN[KVRO]*)4(vexo|tamu)' |
  c++filt |
  LC_ALL=C sort -u >"$actual" || true

if [[ ! -s "$actual" ]]; then
  echo "no vexo or tamu symbols found in $library" >&2
  exit 1
fi

if [[ $update -eq 1 ]]; then
  cp "$actual" "$list"
  echo "wrote $(wc -l <"$list") symbols to $list"
  exit 0
fi

if diff -u --label "expected ($list)" --label "exported by $library" \
    "$list" "$actual"; then
  echo "$(wc -l <"$actual") exported symbols match $list"
  exit 0
fi
cat >&2 <<MSG

The exported symbols changed ('-' lines are no longer exported, '+' lines are
new). If the change is intended, regenerate the list:
  cmake --build <build dir> --target update_exported_symbols
or
  bash tests/exported_symbols_test.sh --update <build dir>/libvexo_util.so \\
      tests/data/exported_symbols.txt
MSG
exit 1
