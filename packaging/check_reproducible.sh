#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the Debian packages twice, from copies of this tree in two folders
# of different depth, at different times, and fails unless every .deb
# (the -dbgsym packages too) is byte for byte the same: no build path, date
# or file order may leak into them.
#
#   check_reproducible.sh [WORKDIR]     (default: build-repro, inside the tree)
set -euo pipefail
tree=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-$tree/build-repro}
rm -rf "$work"
first=$work/a
second=$work/second/folder
mkdir -p "$first" "$second"

"$tree/packaging/build_deb.sh" "$first" >"$work/a.log" 2>&1 ||
  { cat "$work/a.log" >&2; exit 1; }
"$tree/packaging/build_deb.sh" "$second" >"$work/b.log" 2>&1 ||
  { cat "$work/b.log" >&2; exit 1; }

status=0
count=0
for deb in "$first"/*.deb; do
  name=$(basename "$deb")
  count=$((count + 1))
  if [ ! -e "$second/$name" ]; then
    echo "check_reproducible: the second build made no $name" >&2
    status=1
  elif ! cmp -s "$deb" "$second/$name"; then
    echo "check_reproducible: $name differs between $first and $second" >&2
    status=1
  fi
done
[ "$count" -eq "$(find "$second" -maxdepth 1 -name '*.deb' | wc -l)" ] ||
  { echo "check_reproducible: the two builds made different sets of packages" >&2; status=1; }
[ "$count" -gt 0 ] || { echo "check_reproducible: no package built" >&2; status=1; }
[ "$status" = 0 ] && echo "check_reproducible: $count packages, byte-identical from two folders"
exit "$status"
