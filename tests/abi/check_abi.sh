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
# abidiff's exit status is a bit mask, and bit 8 ("incompatible") is set for
# a few kinds of change only: a data member added to a struct that a
# function returns by value, for one, comes out as 4 ("changed") with one
# changed function. So the check reads the change summary instead and
# passes only when nothing was removed or changed: added functions and
# variables pass, and so does a member appended at the end of
# ThreadPool::Options or ThreadPool::Stats (suppressions.abignore says why).
# That suppression also hides changes to those two structs that keep their
# size and offsets (members swapped, a member's type changed), so their old
# members are compared apart, by check_members.py (python3), from a dump of
# LIBRARY. Anything else fails until the baseline is regenerated together
# with a SOVERSION bump.
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

report=$(mktemp)
current=$(mktemp)
trap 'rm -f "$report" "$current"' EXIT
set +e
abidiff --headers-dir2 "$headers" --drop-private-types --suppressions "$here/suppressions.abignore" \
  "$baseline" "$library" >"$report" 2>&1
status=$?
set -e
cat "$report"
if (( status & 1 )); then
  echo "abidiff failed (status $status)" >&2
  exit 1
fi

# The summary lines read, for instance,
#   Functions changes summary: 0 Removed, 1 Changed (2 filtered out), 0 Added functions
#   Function symbols changes summary: 0 Removed, 3 Added function symbols not referenced by debug info
# Every "Removed" and "Changed" count must be 0; the counts in brackets are
# changes the suppressions allowed. Any other finding (a new SONAME, another
# architecture) fails as well.
problems=$(awk '
  /changes summary:/ {
    for (i = 1; i < NF; ++i) {
      word = $(i + 1)
      sub(/,$/, "", word)
      if ((word == "Removed" || word == "Changed") && $i != "0") print "  " $0
    }
  }
  /SONAME changed|architecture changed/ { print "  " $0 }
' "$report" | sort -u)
if (( status & 8 )) || [[ -n "$problems" ]]; then
  cat >&2 <<MSG

Incompatible ABI change against $baseline (abidiff status $status):
${problems:-  (see the report above)}
Only added functions and variables, and members appended at the end of
ThreadPool::Options or ThreadPool::Stats, keep the ABI. If the break is
intended, raise the SOVERSION (the major version in version.hpp and
CMakeLists.txt) and regenerate the baseline:
  bash tests/abi/check_abi.sh --update <build dir>/libvexo_util.so
MSG
  exit 1
fi
# The old members of Options and Stats: same names, types and offsets.
abidw --headers-dir "$headers" --drop-private-types --no-corpus-path --short-locs \
  --out-file "$current" "$library"
if ! python3 "$here/check_members.py" "$baseline" "$current"; then
  cat >&2 <<MSG

Incompatible change to ThreadPool::Options or ThreadPool::Stats against
$baseline: only members appended after the old ones keep the ABI.
MSG
  exit 1
fi
if (( status & 4 )); then
  echo "ABI changed compatibly (additions only); consider regenerating the baseline"
fi
echo "ABI of $library is compatible with $baseline"
