#!/usr/bin/env bash
# The ABI of libvexo_util.so against the baseline committed in this directory.
#
#   check_abi.sh LIBRARY [BASELINE]            check: exit 1 on an incompatible change
#   check_abi.sh --update LIBRARY [BASELINE]   rewrite BASELINE from LIBRARY
#
# BASELINE defaults to tests/abi/libvexo_util.abi. LIBRARY must carry debug
# information (the default preset's RelWithDebInfo build does). Only types
# declared in the public headers (include/) count, and symbols of the standard
# library's templates are ignored (suppressions.abignore). Needs abidw and abidiff
# (Debian: abigail-tools).
#
# abidiff's exit status is a bit mask: 4 = the ABI changed (for instance by
# added functions, which old binaries do not notice), 8 = an incompatible
# change. Added functions pass; anything incompatible fails until the
# baseline is regenerated together with a SOVERSION bump.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
headers=$(cd "$here/../../include" && pwd)

update=0
if [[ "${1:-}" == "--update" ]]; then
  update=1
  shift
fi
if [[ $# -lt 1 || $# -gt 2 ]]; then
  echo "usage: $0 [--update] LIBRARY [BASELINE]" >&2
  exit 2
fi
library=$1
baseline=${2:-$here/libvexo_util.abi}

for tool in abidw abidiff; do
  if ! command -v "$tool" >/dev/null; then
    echo "$tool not found (apt-get install abigail-tools)" >&2
    exit 2
  fi
done

if [[ $update -eq 1 ]]; then
  abidw --headers-dir "$headers" --drop-private-types --no-corpus-path --short-locs \
    --out-file "$baseline" "$library"
  echo "wrote $baseline from $library"
  exit 0
fi

set +e
abidiff --headers-dir2 "$headers" --drop-private-types --suppressions "$here/suppressions.abignore" \
  "$baseline" "$library"
status=$?
set -e
if (( status & 1 )); then
  echo "abidiff failed (status $status)" >&2
  exit 1
fi
if (( status & 8 )); then
  cat >&2 <<MSG

Incompatible ABI change against $baseline. If it is intended, raise the
SOVERSION (the major version in CMakeLists.txt) and regenerate the baseline:
  bash tests/abi/check_abi.sh --update <build dir>/libvexo_util.so
MSG
  exit 1
fi
if (( status & 4 )); then
  echo "ABI changed compatibly (additions only); consider regenerating the baseline"
fi
echo "ABI of $library is compatible with $baseline"
